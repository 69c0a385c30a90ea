// The worker class and run_down: one listing entry turned into one output
// line, printed and appended to the output file under `lock`.
#include "module/python.h"

#include <atomic>

#include "batch/batch.h"
#include "batch/progress.h"
#include "client/retry.h"
#include "client/stop.h"
#include "module/compat.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::batch {
namespace {

std::atomic<long> given_up{0};
std::atomic<int> workers_inside{0};  // worker threads in mythread.run now
// The output file's last line was checked for a cut-short end (once a batch).
std::atomic<bool> tail_checked{false};

struct InsideWorker {
    InsideWorker() noexcept { workers_inside.fetch_add(1); }
    ~InsideWorker() { workers_inside.fetch_sub(1); }
    InsideWorker(const InsideWorker&) = delete;
    InsideWorker& operator=(const InsideWorker&) = delete;
};

const Text kThread{"Thread"}, kDunderInit{"__init__"}, kCookie{"cookie"}, kCid{"cid"}, kQ{"q"},
    kEmpty{"empty"}, kEmptyError{"Empty"}, kRsplit{"rsplit"}, kBar{"|"}, kAcquire{"acquire"},
    kRelease{"release"}, kAppend{"a+"}, kReadBinary{"rb"}, kSeek{"seek"}, kRead{"read"},
    kEmptyLine{""},
    kEncoding{"encoding"}, kErrors{"errors"}, kUtf8{"utf-8"}, kIgnore{"ignore"},
    kEnter{"__enter__"}, kExit{"__exit__"}, kWrite{"write"}, kNewline{"\n"}, kCr{"\r"},
    kEscapedCr{"\\r"}, kEscapedNewline{"\\n"}, kEncode{"encode"}, kDecode{"decode"},
    kBackslashReplace{"backslashreplace"}, kReplace{"replace"}, kAscii{"ascii"},
    kGiveUpHead{"放弃文件："}, kGiveUpOpen{"（"}, kGiveUpClose{"）"};

// Takes `lock` and arms `release` to give it back, whatever fails meanwhile.
bool take_lock(CallOnExit& release) {
    Ref lock = scope::global(names::lock);
    if (!lock || !call_method(lock.get(), kAcquire)) return false;
    release.arm(std::move(lock), kRelease);
    return true;
}

// The line as the console's encoding can show it.
Ref displayable(PyObject* line) {
    Ref console;  // a reference of our own: another thread may replace sys.stdout
    if (compat::sys_attr("stdout", console) < 0) PyErr_Clear();
    Ref encoding = console ? attr(console.get(), kEncoding) : Ref();
    if (!encoding || !PyUnicode_Check(encoding.get())) {
        PyErr_Clear();
        encoding = Ref::borrow(kAscii);
    }
    Ref bytes = call_method(line, kEncode, {encoding.get(), kBackslashReplace});
    return bytes ? call_method(bytes.get(), kDecode, {encoding.get(), kReplace}) : Ref();
}

// print(line); a console that cannot show the line gets what it can show,
// and the caller goes on either way.
bool show(PyObject* line) {
    if (print_line(line)) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    Ref fallback = displayable(line);
    if (fallback && print_line(fallback.get())) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// Appends line + "\n" to the output file, opened for this line only.
bool append_record(PyObject* line) {
    Ref file = call(scope::builtin_open(), {output_file, kAppend},
                    {{kEncoding, kUtf8}, {kErrors, kIgnore}});
    if (!file) return false;
    CallOnExit closes(file.copy(), names::close);  // on a failed write
    Ref f = call_method(file.get(), kEnter);
    Ref record = f ? concat({line, kNewline}) : Ref();
    if (!record || !call_method(f.get(), kWrite, {record.get()})) return false;
    closes.disarm();
    return bool(call_method(file.get(), kExit, {Py_None, Py_None, Py_None}));
}

// 1 when the output file's last byte is not a line feed (its last line was
// cut short), 0 when it is, or the file is missing or empty; -1 on error.
int last_line_cut() {
    Ref file = call(scope::builtin_open(), {output_file, kReadBinary});
    if (!file) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return -1;
        PyErr_Clear();
        return 0;
    }
    CallOnExit closes(file.copy(), names::close);
    Ref size = call_method(file.get(), kSeek, {ints::zero, ints::two});
    const int empty = size ? PyObject_Not(size.get()) : -1;
    if (empty != 0) return empty == 1 ? 0 : -1;
    Ref before = Ref::steal(PyNumber_Subtract(size.get(), ints::one));
    Ref last = before && call_method(file.get(), kSeek, {before.get()})
                   ? call_method(file.get(), kRead, {ints::one})
                   : Ref();
    if (!last) return -1;
    return PyBytes_Check(last.get()) && PyBytes_GET_SIZE(last.get()) == 1 &&
                   PyBytes_AS_STRING(last.get())[0] != '\n'
               ? 1
               : 0;
}

// A run killed while it appended leaves a last line without its line feed;
// the next line must not be glued to it. Ends that fragment, once a batch,
// under the output lock; resume passes the fragment over as cut short.
bool end_cut_line() {
    if (tail_checked.load()) return true;
    const int cut = last_line_cut();
    if (cut < 0 || (cut == 1 && !append_record(kEmptyLine))) return false;
    tail_checked.store(true);
    return true;
}

bool publish(PyObject* line) {
    CallOnExit release;
    if (!take_lock(release) || !end_cut_line() || !show(line) || !append_record(line)) {
        return false;
    }
    client::file_done();
    return progress::file_done();
}

// One attempt: download address, prefix hash, the line out.
bool attempt(PyObject* sha1old, PyObject* cookie, PyObject* cid) {
    Ref pickcode = item_at(sha1old, 3);
    Ref url = pickcode ? call_global(names::get_url, {pickcode.get(), cookie}) : Ref();
    Ref preid = url ? call_global(names::get_preid, {url.get(), cookie, cid}) : Ref();
    Ref name = preid ? item_at(sha1old, 0) : Ref();
    Ref size = name ? item_at(sha1old, 1) : Ref();
    Ref sha = size ? item_at(sha1old, 2) : Ref();
    Ref sha1new = sha ? concat({name.get(), kBar, size.get(), kBar, sha.get(), kBar, preid.get()})
                      : Ref();
    Ref line = sha1new ? one_line(sha1new.get()) : Ref();
    return line && publish(line.get());
}

// Reports an entry that failed every attempt; no output line is written.
bool give_up(PyObject* a, PyObject* sha1old, PyObject* error) {
    given_up.fetch_add(1);
    Ref name = PyObject_Size(sha1old) == 4 ? item_at(sha1old, 0) : Ref::borrow(a);
    Ref shown = name ? one_line(name.get()) : Ref();
    Ref reason = shown ? client::describe(error) : Ref();
    Ref message = reason ? concat({kGiveUpHead, shown.get(), kGiveUpOpen, reason.get(), kGiveUpClose})
                         : Ref();
    if (!message) return false;
    CallOnExit release;
    return take_lock(release) && show(message.get()) && progress::file_given_up();
}

}  // namespace

const Text output_file{"QuillsiftBYOskel.txt"};

// A record break inside a name or size is written escaped, so one file
// stays one line.
Ref one_line(PyObject* text) {
    Ref step = Ref::steal(PyUnicode_Replace(text, kCr, kEscapedCr, -1));
    return step ? Ref::steal(PyUnicode_Replace(step.get(), kNewline, kEscapedNewline, -1)) : Ref();
}

long given_up_count() noexcept { return given_up.load(); }
void reset_given_up() noexcept { given_up.store(0); }

void request_stop() noexcept { client::stop_work(); }
bool stop_requested() noexcept { return client::work_stopped(); }
void reset_output_check() noexcept { tail_checked.store(false); }
int workers_running() noexcept { return workers_inside.load(); }

Ref thread_init(PyObject* const* args) {
    PyObject* self = args[0];
    Ref threading = scope::global(names::threading);
    Ref base = threading ? attr(threading.get(), kThread) : Ref();
    Ref base_init = base ? attr(base.get(), kDunderInit) : Ref();
    if (!base_init || !call(base_init.get(), {self})) return {};
    if (PyObject_SetAttr(self, kCookie, args[2]) < 0 || PyObject_SetAttr(self, kCid, args[3]) < 0 ||
        PyObject_SetAttr(self, kQ, args[1]) < 0) {
        return {};
    }
    return Ref::borrow(Py_None);
}

namespace {
// The take found the queue emptied by the other workers: a normal end.
bool queue_ran_dry() {
    Ref error = take_error();
    Ref queue_module = scope::global(names::queue);
    Ref empty = queue_module ? attr(queue_module.get(), kEmptyError) : Ref();
    if (!empty) PyErr_Clear();
    const bool dry = empty && PyErr_GivenExceptionMatches(error.get(), empty.get());
    if (!dry) restore_error(std::move(error));
    return dry;
}
}  // namespace

Ref thread_run(PyObject* const* args) {
    PyObject* self = args[0];
    InsideWorker inside;
    for (;;) {
        if (stop_requested()) return Ref::borrow(Py_None);
        Ref q = attr(self, kQ);
        Ref empty = q ? call_method(q.get(), kEmpty) : Ref();
        if (!empty) return {};
        const int done = PyObject_IsTrue(empty.get());
        if (done < 0) return {};
        if (done == 1) return Ref::borrow(Py_None);
        Ref run_down = scope::global(names::run_down);
        Ref queue_now = run_down ? attr(self, kQ) : Ref();
        Ref cookie = queue_now ? attr(self, kCookie) : Ref();
        Ref cid = cookie ? attr(self, kCid) : Ref();
        if (!cid) return {};
        if (!call(run_down.get(), {queue_now.get(), cookie.get(), cid.get()})) {
            return queue_ran_dry() ? Ref::borrow(Py_None) : Ref();
        }
    }
}

Ref run_down(PyObject* const* args) {
    PyObject* q = args[0];
    PyObject* cookie = args[1];
    PyObject* cid = args[2];
    Ref a = call_method(q, names::get, {}, {{names::timeout, ints::two}});
    if (!a) return {};
    if (stop_requested()) return Ref::borrow(Py_None);  // taken as the batch stopped: dropped
    // name|size|sha|pickcode, the last three taken from the right: a "|"
    // inside the name stays in the name.
    Ref sha1old = call_method(a.get(), kRsplit, {kBar, ints::three});
    if (!sha1old) return {};
    // A stopped batch tries no file again: the file is dropped, not given up.
    Ref done;
    const client::Retried end = client::retry(
        done, [&] { return attempt(sha1old.get(), cookie, cid) ? Ref::borrow(Py_None) : Ref(); },
        [] { return !stop_requested(); });
    if (end == client::Retried::Failed) return {};
    if (end == client::Retried::Exhausted) {
        Ref error = take_error();
        if (!give_up(a.get(), sha1old.get(), error.get()) || !client::file_given_up(error.get())) {
            return {};
        }
    }
    return Ref::borrow(Py_None);
}

}  // namespace fw::batch
