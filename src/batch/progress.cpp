// The status line. Plain carriage returns and blanks only, no escape
// sequences, so that any console shows it, a Windows one included: a draw is
// "\r" + text padded with blanks over the previous text, a clear is "\r" +
// blanks + "\r". The text is ASCII, so its length is its width, and is cut to
// one column less than the terminal's so it never wraps. The width is read
// again at every draw and clear: a terminal resized since the last draw gets
// no more blanks than it now has room for.
//
// Who writes: everyone under `lock`, so two writes never meet: the workers,
// and main, whose batch may run while an earlier batch's workers (their main
// ended by a third Ctrl-C) still print. The text is rebuilt at most four
// times a second, on events; a printed line in between only puts the last
// text back.
#include "module/python.h"

#include "batch/progress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "batch/batch.h"
#include "module/compat.h"
#include "module/console.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::batch::progress {
namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::duration kRefreshEvery = std::chrono::milliseconds(250);
constexpr long kFallbackWidth = 80;  // a console that does not say its width
constexpr long kNarrowest = 10;      // fewer columns leave no room for a line worth reading
constexpr long kUnknown = -1;
constexpr double kLongest = 999.0 * 3600;  // longer times are shown as this

const Text kWrite{"write"}, kFlush{"flush"}, kIsatty{"isatty"}, kFileno{"fileno"},
    kGetTerminalSize{"get_terminal_size"}, kColumns{"columns"}, kAcquire{"acquire"},
    kRelease{"release"}, kFstat{"fstat"}, kStMode{"st_mode"}, kIsRegular{"S_ISREG"},
    kIsDevice{"S_ISCHR"};

std::atomic<bool> on{false}, walking{false}, resuming{false};
std::atomic<int> stderr_fd{-1};
// Counts of the run and of the folder being done: main sets the folder
// figures while no worker runs, the workers add their files.
std::atomic<long> folders_total{kUnknown}, folders_done{0}, folders_listed{0}, files_listed{0},
    folder_total{kUnknown}, folder_finished{0}, done{0}, given_up{0}, skipped{0};
std::atomic<Clock::rep> first_dispatch{0}, last_refresh{0};  // 0: not yet

// The last text built, and how many columns of the console it covers now (0:
// none). The mutex is never held across a call into Python.
std::mutex text_mutex;
std::string last_text;
std::atomic<size_t> drawn{0};

Clock::rep now() { return Clock::now().time_since_epoch().count(); }

bool refresh_due() {
    const Clock::rep last = last_refresh.load();
    return last == 0 || now() - last >= kRefreshEvery.count();
}

struct Figures {
    long folders_total, folders_done, folders_listed, files_listed, folder_total, folder_finished,
        done, given_up, skipped;
    double seconds;  // since the first folder went to the workers
};

Figures read_figures() {
    const Clock::rep since = first_dispatch.load();
    const double seconds =
        since == 0 ? 0 : std::chrono::duration<double>(Clock::duration(now() - since)).count();
    return {folders_total.load(), folders_done.load(), folders_listed.load(), files_listed.load(),
            folder_total.load(), folder_finished.load(), done.load(), given_up.load(),
            skipped.load(), seconds};
}

std::string duration(double seconds) {
    const long total = static_cast<long>(std::min(std::max(seconds, 0.0), kLongest) + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

// Files done or given up a second since the first dispatch (skipped files
// take no time); 0 while unknown. Listing the later folders counts as time
// spent, so the rate includes it.
double rate_of(const Figures& f) {
    const long worked = f.done + f.given_up;
    return f.seconds > 0 && worked > 0 ? worked / f.seconds : 0;
}

// The files of the whole run still to do. The walk learns every folder id
// before any folder's file count, and the counts arrive folder by folder, so
// each folder not listed yet is taken to hold the average of those listed.
double run_left(const Figures& f) {
    const double per_folder = static_cast<double>(f.files_listed) / f.folders_listed;
    const double total = f.files_listed + per_folder * (f.folders_total - f.folders_listed);
    return std::max(0.0, total - (f.done + f.given_up + f.skipped));
}

std::string compose(const Figures& f) {
    std::string text;
    auto field = [&text](const std::string& part) {
        if (!text.empty()) text += " | ";
        text += part;
    };
    const bool walks = walking.load();
    if (walks) {
        field(f.folders_total == kUnknown ? std::string("listing folders")
                                          : "folders " + std::to_string(f.folders_done) + "/" +
                                                std::to_string(f.folders_total));
    }
    if (f.folder_total != kUnknown) {
        field("files " + std::to_string(f.folder_finished) + "/" + std::to_string(f.folder_total));
    } else if (!walks || f.folders_total != kUnknown) {
        field("listing");
    }
    std::string counts =
        "done " + std::to_string(f.done) + ", given up " + std::to_string(f.given_up);
    if (resuming.load()) counts += ", skipped " + std::to_string(f.skipped);
    field(counts);
    const double rate = rate_of(f);
    char rate_text[48] = "- files/s";
    if (rate > 0) std::snprintf(rate_text, sizeof rate_text, "%.1f files/s", rate);
    field(rate_text);
    if (rate > 0 && f.folder_total != kUnknown) {
        std::string left = "left " + duration((f.folder_total - f.folder_finished) / rate);
        if (walks && f.folders_listed > 0 && f.folders_total > 0) {
            const bool estimated = f.folders_listed < f.folders_total;
            left += std::string(", run ") + (estimated ? "~" : "") + duration(run_left(f) / rate);
        }
        field(left);
    }
    return text;
}

// An Exception is dropped; anything else (an interrupt) stays pending.
bool drop_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// A console that cannot take the line turns the line off and the batch goes
// on; an interrupt goes on as an error.
bool settle(bool written) {
    if (written) return true;
    if (!drop_exception()) return false;
    on.store(false);
    return true;
}

// sys.stderr.write(text), flushed: the line has no end that would flush it.
bool write_out(const std::string& text) {
    Ref console;  // a reference of our own: another thread may replace sys.stderr
    const int found = compat::sys_attr("stderr", console);
    if (found < 0) return false;
    if (found == 0 || console.get() == Py_None) {
        on.store(false);
        return true;
    }
    const auto size = static_cast<Py_ssize_t>(text.size());
    Ref piece = Ref::steal(PyUnicode_FromStringAndSize(text.data(), size));
    return piece && call_method(console.get(), kWrite, {piece.get()}) &&
           call_method(console.get(), kFlush);
}

// The terminal's columns now (it may have been resized); -1 on an interrupt.
long read_width() {
    const int fd = stderr_fd.load();
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref number = os ? Ref::steal(PyLong_FromLong(fd)) : Ref();
    Ref size = number ? call_method(os.get(), kGetTerminalSize, {number.get()}) : Ref();
    Ref columns = size ? attr(size.get(), kColumns) : Ref();
    const long value = columns ? PyLong_AsLong(columns.get()) : -1;
    if (PyErr_Occurred() && !drop_exception()) return -1;  // else not a size: the fallback
    return value > 0 ? value : kFallbackWidth;  // a pseudo-terminal not sized yet says 0
}

// Blanks over what is drawn, as far as `room` columns reach.
bool clear_within(size_t room) {
    const size_t covered = std::min(drawn.exchange(0), room);
    return covered == 0 || write_out("\r" + std::string(covered, ' ') + "\r");
}

// Puts the line on the console: rebuilt when `rebuild`, else the last text.
// A terminal too narrow for it gets none (what was drawn is cleared).
bool paint(bool rebuild) {
    const long columns = read_width();
    if (columns < 0) return false;
    std::string text = rebuild ? compose(read_figures()) : std::string();
    {
        std::lock_guard<std::mutex> hold(text_mutex);
        if (rebuild) {
            last_text = text;
        } else {
            text = last_text;
        }
    }
    if (rebuild) last_refresh.store(now());
    const auto room = static_cast<size_t>(columns - 1);
    if (columns < kNarrowest) return clear_within(room);
    text.resize(std::min(text.size(), room));
    const size_t covered = std::min(drawn.load(), room);
    std::string line = "\r" + text;
    if (covered > text.size()) line.append(covered - text.size(), ' ');
    drawn.store(text.size());
    return write_out(line);
}

bool clear_line() {
    if (drawn.load() == 0) return true;
    const long columns = read_width();
    return columns >= 0 && clear_within(static_cast<size_t>(columns - 1));
}

// An event redraws the line when a refresh is due.
bool on_event() { return !on.load() || !refresh_due() || settle(paint(true)); }

// main's event, under `lock` as the workers' are.
bool main_event() {
    if (!on.load()) return true;
    console::OutputLock held;
    return held.take() && on_event();
}

// A printed line may land on the terminal (standard output is the terminal,
// or an object that writes there too): the line makes way for it.
bool before_print() { return !on.load() || settle(clear_line()); }

bool after_print() { return !on.load() || settle(paint(refresh_due())); }

// A worker's event: a worker thread has no interrupt to pass on.
bool worker_event() {
    if (!on_event()) PyErr_Clear();
    return true;
}

// 1 when stream.isatty() says so, 0 when not (or no stream), -1 on error.
int is_terminal(const char* stream, Ref& console) {
    const int found = compat::sys_attr(stream, console);
    if (found <= 0 || console.get() == Py_None) return found < 0 ? -1 : 0;
    Ref answer = call_method(console.get(), kIsatty);
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// The stream's descriptor; -1 when it has none and, with an error set, on an
// interrupt.
int file_number(PyObject* console) {
    Ref number = call_method(console, kFileno);
    const long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (PyErr_Occurred()) {
        drop_exception();
        return -1;
    }
    return static_cast<int>(fd);
}

// 1 when stat.<test>(mode) says so, 0 when not, -1 on error.
int mode_is(PyObject* stat, PyObject* test, PyObject* mode) {
    Ref answer = call_method(stat, test, {mode});
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// Standard output's lines are on the terminal, or out of its way, by the
// time print returns when it is the terminal, a regular file, another
// character device (`> /dev/null`, which shows nothing), or an object of
// this process without a descriptor: the line is cleared before them and
// drawn after. A pipe's or a socket's reader (`| tee log`) may write them to
// the same terminal at any time, over a line drawn since. 1 when in step, 0
// when not, -1 on an interrupt.
int output_in_step() {
    Ref output;
    const int found = compat::sys_attr("stdout", output);
    if (found <= 0 || output.get() == Py_None) return found < 0 ? -1 : 1;
    const int fd = file_number(output.get());
    if (fd < 0) return PyErr_Occurred() ? -1 : 1;
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref number = os ? Ref::steal(PyLong_FromLong(fd)) : Ref();
    Ref terminal = number ? call_method(os.get(), kIsatty, {number.get()}) : Ref();
    const int on_terminal = terminal ? PyObject_IsTrue(terminal.get()) : -1;
    if (on_terminal == 1) return 1;
    Ref status = on_terminal == 0 ? call_method(os.get(), kFstat, {number.get()}) : Ref();
    Ref mode = status ? attr(status.get(), kStMode) : Ref();
    Ref stat = mode ? Ref::steal(PyImport_ImportModule("stat")) : Ref();
    int in_step = stat ? mode_is(stat.get(), kIsRegular, mode.get()) : -1;
    if (in_step == 0) in_step = mode_is(stat.get(), kIsDevice, mode.get());
    if (in_step >= 0) return in_step;
    return drop_exception() ? 0 : -1;
}

// Workers still running after an interrupt: waits, a second at most, for
// the one printing, and holds `lock` until `release` ends.
bool hold_printing(CallOnExit& release) {
    Ref lock = scope::global(names::lock);
    Ref seconds = lock ? Ref::steal(PyFloat_FromDouble(1.0)) : Ref();
    Ref taken = seconds ? call_method(lock.get(), kAcquire, {}, {{names::timeout, seconds.get()}})
                        : Ref();
    const int got = taken ? PyObject_IsTrue(taken.get()) : -1;
    if (got == 1) release.arm(std::move(lock), kRelease);
    return got >= 0;
}

}  // namespace

bool start(bool wanted, bool walks, bool resume) {
    on.store(false);
    set_print_hooks(nullptr, nullptr);
    walking.store(walks);
    resuming.store(resume);
    for (auto* count : {&folders_done, &folders_listed, &files_listed, &folder_finished, &done,
                        &given_up, &skipped}) {
        count->store(0);
    }
    folders_total.store(kUnknown);
    folder_total.store(kUnknown);
    first_dispatch.store(0);
    last_refresh.store(0);
    drawn.store(0);
    if (!wanted) return true;

    Ref errors;
    const int terminal = is_terminal("stderr", errors);
    if (terminal != 1) return terminal == 0 || settle(false);
    // A stream that says it is a terminal but has no descriptor (a Python
    // shell window's) has no width to read and may not take carriage returns.
    const int fd = file_number(errors.get());
    if (fd < 0) return !PyErr_Occurred();
    const int in_step = output_in_step();
    if (in_step != 1) return in_step == 0;
    stderr_fd.store(fd);
    on.store(true);
    set_print_hooks(before_print, after_print);
    return true;
}

bool folders_found(long total) {
    folders_total.store(total);
    return main_event();
}

bool folder_started() {
    folder_total.store(kUnknown);
    folder_finished.store(0);
    return main_event();
}

bool folder_queued(long listed, long skipped_here) {
    folder_total.store(listed);
    folder_finished.store(skipped_here);
    skipped.fetch_add(skipped_here);
    folders_listed.fetch_add(1);
    files_listed.fetch_add(listed);
    if (first_dispatch.load() == 0) first_dispatch.store(now());
    return main_event();
}

bool folder_done() {
    folders_done.fetch_add(1);
    return main_event();
}

bool file_done() {
    done.fetch_add(1);
    folder_finished.fetch_add(1);
    return worker_event();
}

bool file_given_up() {
    given_up.fetch_add(1);
    folder_finished.fetch_add(1);
    return worker_event();
}

bool stop() {
    const bool was_on = on.exchange(false);
    set_print_hooks(nullptr, nullptr);
    if (!was_on || drawn.load() == 0) return true;
    Cleanup cleanup;  // main may be ending with an error
    {
        CallOnExit release;
        if (workers_running() > 0) cleanup.step(hold_printing(release));
        cleanup.step(clear_line());
    }
    const bool interrupted = cleanup.interrupted();
    cleanup.finish();
    return !interrupted;
}

}  // namespace fw::batch::progress
