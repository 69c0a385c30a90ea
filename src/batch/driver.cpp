// main: one batch from config.ini to the last output line.
#include "module/python.h"

#include <atomic>
#include <initializer_list>

#include "batch/batch.h"
#include "batch/config.h"
#include "batch/progress.h"
#include "batch/resume.h"
#include "client/client.h"
#include "client/clock.h"
#include "client/pacer.h"
#include "client/transport.h"
#include "module/console.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::batch {
namespace {

constexpr int kWorkers = 6;

const Text kRequired{"必须参数"}, kFeatures{"功能参数"}, kCidKey{"cid"}, kTypeKey{"type"},
    kCookieKey{"cookie"}, kRecursionKey{"recursion"}, kResumeKey{"resume"}, kYes{"是"}, kNo{"否"},
    kEmpty{""}, kHasOption{"has_option"}, kProgressKey{"progress"};

// What main says, to the letter.
const Text kConfigUnreadable{"读取配置文件错误"}, kWalking{"初步递归计算中"},
    kWalkDone{"计算完成\n总共"}, kFolders{"个文件夹"}, kListed{"获取数据完成，总共"},
    kEntries{"条数据"}, kAllDone{"任务完成"}, kBadRecursion{"recursion非法"},
    kGivenUpHead{"放弃"}, kGivenUpTail{"个文件"}, kBadResume{"resume非法"},
    kBadProgress{"progress非法"},
    kSkippedHead{"跳过"}, kSkippedTail{"个已完成文件"};

const Text kQueue{"Queue"}, kMaxsize{"maxsize"}, kPut{"put"}, kStart{"start"}, kJoin{"join"},
    kIsAlive{"is_alive"}, kClear{"clear"};

// How long main waits at a time before it looks for an interrupt again.
constexpr double kJoinPiece = 0.25, kWaitPiece = 0.02;

struct Settings {
    Ref cid, type2, cookie, recursion;
    bool resume = false;  // skip the files the output file already has
    DoneFiles done;
    long skipped = 0;
    bool listing_failed = false;  // a listing page failed on every attempt
};

std::atomic<int> last_outcome{static_cast<int>(Outcome::Done)};

// A listing call of main; a page that failed on every attempt is remembered
// for the exit status.
bool list_folder(Settings& settings, PyObject* function, std::initializer_list<PyObject*> args) {
    if (call_global(function, args)) return true;
    settings.listing_failed = client::listing_exhausted() && PyErr_ExceptionMatches(PyExc_Exception);
    return false;
}

// count + text, as the messages show them: digits joined without blanks.
bool print_count(PyObject* head, PyObject* list_name, PyObject* tail) {
    Ref list = scope::global(list_name);
    if (!list) return false;
    const Py_ssize_t size = PyObject_Size(list.get());
    if (size < 0) return false;
    Ref digits = Ref::steal(PyUnicode_FromFormat("%zd", size));
    Ref message = digits ? concat({head, digits.get(), tail}) : Ref();
    return message && console::tell(message.get());
}

// input(prompt); the end of input ends the batch like a typed line would.
bool prompt(PyObject* text) {
    if (console::ask(text)) return true;
    if (!PyErr_ExceptionMatches(PyExc_EOFError)) return false;
    PyErr_Clear();
    return true;
}

bool clear_list(PyObject* list_name) {
    Ref list = scope::global(list_name);
    return list && call_method(list.get(), kClear);
}

// Six workers on the queue, each appended to `threads` once started.
bool start_workers(PyObject* workqueue, PyObject* threads, PyObject* cookie, PyObject* cid) {
    for (int t = 0; t < kWorkers; ++t) {
        Ref thread = call_global(names::mythread, {workqueue, cookie, cid});
        if (!thread || !call_method(thread.get(), kStart) || PyList_Append(threads, thread.get()) < 0) {
            return false;
        }
    }
    return true;
}

// A wait's step done, and no interrupt pending: a step that no Ctrl-C can
// cut short (a join on Windows) returns, and the interrupt is raised here.
bool stepped(bool done) { return done && PyErr_CheckSignals() == 0; }

// thread.join in pieces until it has ended.
bool join_in_pieces(PyObject* thread, PyObject* piece) {
    for (;;) {
        if (!stepped(bool(call_method(thread, kJoin, {piece})))) return false;
        Ref alive = call_method(thread, kIsAlive);
        const int running = alive ? PyObject_IsTrue(alive.get()) : -1;
        if (running <= 0) return running == 0;
    }
}

// Each worker joined in start order, in pieces: Ctrl-C is acted on within
// one, on every platform.
bool join_workers(PyObject* threads) {
    Ref piece = Ref::steal(PyFloat_FromDouble(kJoinPiece));
    if (!piece) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(threads); ++i) {
        if (!join_in_pieces(PyList_GET_ITEM(threads, i), piece.get())) return false;
    }
    return true;
}

// Pauses in real time while `busy()`; an interrupt ends the wait.
template <typename Busy>
bool wait_while(Busy busy) {
    while (busy()) {
        if (!stepped(client::wait_real(kWaitPiece))) return false;
    }
    return true;
}

// Until no worker of the batch is inside mythread.run. Before 3.13 a
// Thread.join that an interrupt cuts short marks its thread ended while it
// still runs, so neither a later join nor the interpreter's exit waits for
// it: the count of workers is what main waits on.
bool wait_for_workers(const Batch& batch) {
    return wait_while([&batch] { return batch.workers_inside.load() > 0; });
}

// A resumed batch reads the output file once, at its start. The files an
// earlier batch still has in flight (its main ended by a third Ctrl-C) must
// be in it by then, or they would be done twice.
bool wait_for_earlier_workers() {
    return wait_while([] { return workers_running() > 0; });
}

// Interrupts main sits out while the files in flight finish: the second
// Ctrl-C is noted and the wait goes on, the third ends it.
constexpr int kInterruptsEndingTheWait = 2;

// main failed while its workers run (Ctrl-C, mostly): none of them starts
// another file, the files in flight finish, and main waits for them before
// its error goes on. The stop is the batch's for good: a worker whose start
// the interrupt cut short is in no list, and finds it all the same.
void stop_workers(Batch& batch) {
    batch.run().stop();
    SavedError failure;
    for (int interrupts = 0; !wait_for_workers(batch);) {
        const bool interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
        PyErr_Clear();
        if (!interrupt || ++interrupts == kInterruptsEndingTheWait) return;
    }
}

// 1 when the entry is to be queued, 0 when a resumed batch skips it.
int to_be_done(Settings& settings, PyObject* entry) {
    if (!settings.resume) return 1;
    const int done = settings.done.has_line(entry);
    if (done == 1) ++settings.skipped;
    return done < 0 ? -1 : 1 - done;
}

// Every entry of sha1list still to be done into a new queue, six workers on
// it, all joined.
bool dispatch_folder(Batch& batch, Settings& settings, PyObject* cid) {
    PyObject* cookie = settings.cookie.get();
    Ref workqueue = call_global_attr(names::queue, kQueue, {}, {{kMaxsize, ints::zero}});
    Ref threads = workqueue ? Ref::steal(PyList_New(0)) : Ref();
    Ref entries = threads ? scope::global(names::sha1list) : Ref();
    Ref each_entry = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref();
    if (!each_entry) return false;
    long listed = 0;
    const long skipped_before = settings.skipped;
    while (Ref each = Ref::steal(PyIter_Next(each_entry.get()))) {
        ++listed;
        const int wanted = to_be_done(settings, each.get());
        if (wanted < 0 || (wanted == 1 && !call_method(workqueue.get(), kPut, {each.get()}))) {
            return false;
        }
    }
    if (PyErr_Occurred() || !progress::folder_queued(listed, settings.skipped - skipped_before)) {
        return false;
    }
    if (start_workers(workqueue.get(), threads.get(), cookie, cid) && join_workers(threads.get())) {
        return batch.run().no_halt();
    }
    stop_workers(batch);
    return false;
}

// One folder: its listing, the count, its dispatch; the status line told.
bool process_folder(Batch& batch, Settings& settings, PyObject* cid) {
    PyObject* type2 = settings.type2.get();
    return progress::folder_started() &&
           list_folder(settings, names::get_sha1list, {cid, type2, settings.cookie.get()}) &&
           print_count(kListed, names::sha1list, kEntries) &&
           dispatch_folder(batch, settings, cid) && progress::folder_done();
}

// The configured folder, then the folders below it, level by level.
bool walk_folders(Settings& settings) {
    Ref cidlist = scope::global(names::cidlist);
    if (!cidlist || !call_method(cidlist.get(), names::append, {settings.cid.get()})) return false;
    for (Py_ssize_t i = 1;; ++i) {
        cidlist = scope::global(names::cidlist);
        if (!cidlist) return false;
        const Py_ssize_t size = PyObject_Size(cidlist.get());
        if (size < 0) return false;
        if (i > size) return true;
        Ref eachcid = item_at(cidlist.get(), i - 1);
        if (!eachcid || !list_folder(settings, names::get_cidlist, {eachcid.get(), settings.cookie.get()})) {
            return false;
        }
    }
}

bool run_recursive(Batch& batch, Settings& settings) {
    if (!console::tell(kWalking) || !walk_folders(settings) ||
        !print_count(kWalkDone, names::cidlist, kFolders)) {
        return false;
    }
    Ref cidlist = scope::global(names::cidlist);
    const Py_ssize_t count = cidlist ? PyObject_Size(cidlist.get()) : -1;
    if (count < 0 || !progress::folders_found(static_cast<long>(count))) return false;
    Ref folders = Ref::steal(PyObject_GetIter(cidlist.get()));
    if (!folders) return false;
    while (Ref eachcid = Ref::steal(PyIter_Next(folders.get()))) {
        if (!process_folder(batch, settings, eachcid.get()) || !clear_list(names::sha1list)) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool print_number(PyObject* head, long count, PyObject* tail) {
    Ref digits = Ref::steal(PyUnicode_FromFormat("%ld", count));
    Ref message = digits ? concat({head, digits.get(), tail}) : Ref();
    return message && console::tell(message.get());
}

bool report_skipped(const Settings& settings) {
    return !settings.resume || print_number(kSkippedHead, settings.skipped, kSkippedTail);
}

bool report_given_up(const Batch& batch) {
    const long count = batch.given_up.load();
    return count == 0 || print_number(kGivenUpHead, count, kGivenUpTail);
}

bool read_settings(PyObject* config, Settings& settings) {
    settings.cid = read_setting(config, kRequired, kCidKey);
    if (settings.cid) settings.type2 = read_setting(config, kRequired, kTypeKey);
    if (settings.type2) settings.cookie = read_setting(config, kRequired, kCookieKey);
    if (settings.cookie) settings.recursion = read_setting(config, kFeatures, kRecursionKey);
    return bool(settings.recursion);
}

enum class Choice { Yes, No, Absent, Invalid, Error };

// 是 or 否, to the letter.
Choice yes_or_no(PyObject* value) {
    const int yes = PyObject_RichCompareBool(value, kYes, Py_EQ);
    const int no = yes == 0 ? PyObject_RichCompareBool(value, kNo, Py_EQ) : 0;
    if (yes < 0 || no < 0) return Choice::Error;
    return yes == 1 ? Choice::Yes : no == 1 ? Choice::No : Choice::Invalid;
}

// `resume` and `progress` may be left out: absent reads as Absent.
Choice read_optional(PyObject* config, PyObject* key) {
    Ref present = call_method(config, kHasOption, {kFeatures, key});
    const int has = present ? PyObject_IsTrue(present.get()) : -1;
    if (has <= 0) return has == 0 ? Choice::Absent : Choice::Error;
    Ref value = read_setting(config, kFeatures, key);
    return value ? yes_or_no(value.get()) : Choice::Error;
}

// How a batch ended, as main finds out along the way.
struct Ending {
    Outcome outcome = Outcome::Failed;
    // The work is over: an interrupt from here on (at the final prompt, or
    // while the batch closes) does not change the outcome.
    bool settled = false;

    void settle(Outcome final_outcome) {
        outcome = final_outcome;
        settled = true;
    }
};

// A setting that is neither 是 nor 否: said, and nothing is done.
Ref refuse(Ending& ending, PyObject* message) {
    ending.settle(Outcome::NothingDone);
    return prompt(message) ? Ref::borrow(Py_None) : Ref();
}

// Everything main does between its start and its end.
Ref run_batch(Batch& batch, Ending& ending) {
    // A run starts from empty lists, however the last one ended.
    if (!clear_list(names::sha1list) || !clear_list(names::cidlist)) return {};
    Ref config = load_config();
    if (!config) return {};
    const int unreadable = PyObject_RichCompareBool(config.get(), kEmpty, Py_EQ);
    if (unreadable < 0) return {};
    if (unreadable == 1) {
        ending.settle(Outcome::NothingDone);
        return console::tell(kConfigUnreadable) ? Ref::borrow(Py_None) : Ref();
    }

    Settings settings;
    if (!read_settings(config.get(), settings)) return {};
    const Choice recursion = yes_or_no(settings.recursion.get());
    if (recursion == Choice::Error) return {};
    if (recursion == Choice::Invalid) return refuse(ending, kBadRecursion);
    const Choice resume = read_optional(config.get(), kResumeKey);
    if (resume == Choice::Error) return {};
    if (resume == Choice::Invalid) return refuse(ending, kBadResume);
    // progress: 否 turns the status line off; 是 or no key leaves it to the terminal.
    const Choice status_line = read_optional(config.get(), kProgressKey);
    if (status_line == Choice::Error) return {};
    if (status_line == Choice::Invalid) return refuse(ending, kBadProgress);
    settings.resume = resume == Choice::Yes;
    if (settings.resume &&
        (!wait_for_earlier_workers() || !settings.done.load(batch.output_path()))) {
        return {};
    }
    if (!progress::start(status_line != Choice::No, recursion == Choice::Yes, settings.resume)) {
        return {};
    }

    const bool done = recursion == Choice::Yes ? run_recursive(batch, settings)
                                               : process_folder(batch, settings, settings.cid.get());
    if (!done) {
        if (settings.listing_failed) ending.outcome = Outcome::ListingFailed;
        return {};
    }
    ending.settle(batch.given_up.load() == 0 ? Outcome::Done : Outcome::GivenUp);
    if (!progress::stop()) return {};
    if (!report_skipped(settings) || !report_given_up(batch) || !prompt(kAllDone)) return {};
    return Ref::borrow(Py_None);
}

// The outcome of a main that raised: interrupted (unless the work was over),
// a listing that failed for good, or another error.
void record_outcome(Ending ending, bool raised) {
    if (raised) {
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
            if (!ending.settled) ending.outcome = Outcome::Interrupted;
        } else if (ending.outcome != Outcome::ListingFailed && ending.outcome != Outcome::Stopped) {
            ending.outcome = Outcome::Failed;
        }
    }
    last_outcome.store(static_cast<int>(ending.outcome));
}

// A halted batch raises the halt's exception, whatever else failed on the
// way out; an interrupt still wins.
bool settle_halt(const client::Run& run, Ref& result) {
    if (!run.halted() || (!result && !PyErr_ExceptionMatches(PyExc_Exception))) return false;
    result.reset();
    PyErr_Clear();
    run.no_halt();
    return true;
}

}  // namespace

Ref main(PyObject* const*) {
    Ending ending;
    BatchBinding binding(Batch::start());
    Batch* batch = current_batch();
    if (batch == nullptr) {
        record_outcome(ending, true);
        return {};
    }
    Ref result = run_batch(*batch, ending);
    if (settle_halt(batch->run(), result)) ending.outcome = Outcome::Stopped;
    // The end of the batch, however it ends: the status line gone, nothing
    // it opened stays open, and an interrupt while it closes is raised, not
    // swallowed.
    progress::stop();
    client::close_transport();
    batch->run().end();
    if (result && PyErr_Occurred()) result.reset();
    record_outcome(ending, !result);
    return result;
}

int last_status() noexcept { return last_outcome.load(); }

}  // namespace fw::batch
