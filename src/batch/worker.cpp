// The worker class and run_down: one listing entry turned into one output
// line, printed and appended to the output file under `lock`.
#include "module/python.h"

#include <atomic>

#include "batch/batch.h"
#include "batch/progress.h"
#include "client/retry.h"
#include "module/console.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::batch {
namespace {

std::atomic<int> workers_inside{0};  // in every batch

// A worker thread inside mythread.run, counted in its batch and in all. The
// thread's innermost one is known to it (run may be called inside run).
class InsideWorker {
public:
    explicit InsideWorker(Batch* batch) noexcept : batch_(batch), outer_(innermost) {
        workers_inside.fetch_add(1);
        if (batch_ != nullptr) batch_->workers_inside.fetch_add(1);
        innermost = this;
    }
    ~InsideWorker() {
        innermost = outer_;
        if (batch_ != nullptr) batch_->workers_inside.fetch_sub(1);
        workers_inside.fetch_sub(1);
    }
    InsideWorker(const InsideWorker&) = delete;
    InsideWorker& operator=(const InsideWorker&) = delete;

    // The calling thread counted again, alone: each of its InsideWorkers
    // adds itself back to the counts.
    static void count_this_thread_only() noexcept {
        Batch::each([](Batch& batch) { batch.workers_inside.store(0); });
        int here = 0;
        for (const InsideWorker* inside = innermost; inside != nullptr; inside = inside->outer_) {
            ++here;
            if (inside->batch_ != nullptr) inside->batch_->workers_inside.fetch_add(1);
        }
        workers_inside.store(here);
    }

private:
    static thread_local InsideWorker* innermost;
    Batch* batch_;
    InsideWorker* outer_;
};

thread_local InsideWorker* InsideWorker::innermost = nullptr;

const Text kThread{"Thread"}, kDunderInit{"__init__"}, kCookie{"cookie"}, kCid{"cid"}, kQ{"q"},
    kEmpty{"empty"}, kEmptyError{"Empty"}, kRsplit{"rsplit"}, kBar{"|"}, kAppend{"a+"},
    kReadBinary{"rb"}, kSeek{"seek"}, kRead{"read"}, kEmptyLine{""}, kEncoding{"encoding"},
    kErrors{"errors"}, kUtf8{"utf-8"}, kIgnore{"ignore"}, kEnter{"__enter__"}, kExit{"__exit__"},
    kWrite{"write"}, kNewline{"\n"}, kCr{"\r"}, kEscapedCr{"\\r"}, kEscapedNewline{"\\n"},
    kBatchAttr{"_fernwick_batch"},
    kGiveUpHead{"放弃文件："}, kGiveUpOpen{"（"}, kGiveUpClose{"）"};

// The output file of the batch the thread works for; outside one, the name
// in the current directory.
PyObject* output_of(const Batch* batch) {
    return batch != nullptr ? batch->output_path() : output_file.get();
}

// Appends line + "\n" to the output file, opened for this line only.
bool append_record(PyObject* path, PyObject* line) {
    Ref file = call(scope::builtin_open(), {path, kAppend},
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
int last_line_cut(PyObject* path) {
    Ref file = call(scope::builtin_open(), {path, kReadBinary});
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
// the next line must not be glued to it. Ends that fragment under the output
// lock, once a batch (at each line outside one); resume passes the fragment
// over as cut short.
bool end_cut_line(Batch* batch) {
    if (batch != nullptr && batch->tail_checked.load()) return true;
    PyObject* path = output_of(batch);
    const int cut = last_line_cut(path);
    if (cut < 0 || (cut == 1 && !append_record(path, kEmptyLine))) return false;
    if (batch != nullptr) batch->tail_checked.store(true);
    return true;
}

// The status line counts the files of the latest batch only.
bool counted(const Batch* batch) { return batch == nullptr || batch->latest(); }
bool count_done(const Batch* batch) { return !counted(batch) || progress::file_done(); }
bool count_given_up(const Batch* batch) { return !counted(batch) || progress::file_given_up(); }

bool publish(PyObject* line) {
    Batch* batch = current_batch();
    console::OutputLock held;
    if (!held.take() || !end_cut_line(batch) || !console::show(line) ||
        !append_record(output_of(batch), line)) {
        return false;
    }
    if (batch != nullptr) batch->run().file_done();
    return count_done(batch);
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
    Batch* batch = current_batch();
    if (batch != nullptr) batch->given_up.fetch_add(1);
    Ref name = PyObject_Size(sha1old) == 4 ? item_at(sha1old, 0) : Ref::borrow(a);
    Ref shown = name ? one_line(name.get()) : Ref();
    Ref reason = shown ? console::describe(error) : Ref();
    Ref message = reason ? concat({kGiveUpHead, shown.get(), kGiveUpOpen, reason.get(), kGiveUpClose})
                         : Ref();
    if (!message) return false;
    {
        console::OutputLock held;
        if (!held.take() || !console::show(message.get()) || !count_given_up(batch)) return false;
    }
    return batch == nullptr || batch->run().file_given_up(error);
}

// The stop of the batch the thread works for; never outside one.
bool stop_requested() {
    const Batch* batch = current_batch();
    return batch != nullptr && batch->run().stopped();
}

// The batch of the thread main is starting, kept on the thread object.
bool keep_batch(PyObject* self) {
    PyObject* capsule = current_batch_capsule();
    return capsule == nullptr || PyObject_SetAttr(self, kBatchAttr, capsule) == 0;
}

// The capsule kept by keep_batch; empty when the thread was made outside a
// batch.
Ref kept_batch(PyObject* self) {
    Ref capsule = Ref::steal(PyObject_GetAttr(self, kBatchAttr));
    if (!capsule) PyErr_Clear();
    return capsule;
}

}  // namespace

const Text output_file{"QuillsiftBYOskel.txt"};

int workers_running() noexcept { return workers_inside.load(); }

void forget_workers() noexcept { InsideWorker::count_this_thread_only(); }

// A record break inside a name or size is written escaped, so one file
// stays one line.
Ref one_line(PyObject* text) {
    Ref step = Ref::steal(PyUnicode_Replace(text, kCr, kEscapedCr, -1));
    return step ? Ref::steal(PyUnicode_Replace(step.get(), kNewline, kEscapedNewline, -1)) : Ref();
}

Ref thread_init(PyObject* const* args) {
    PyObject* self = args[0];
    Ref threading = scope::global(names::threading);
    Ref base = threading ? attr(threading.get(), kThread) : Ref();
    Ref base_init = base ? attr(base.get(), kDunderInit) : Ref();
    if (!base_init || !call(base_init.get(), {self})) return {};
    if (PyObject_SetAttr(self, kCookie, args[2]) < 0 || PyObject_SetAttr(self, kCid, args[3]) < 0 ||
        PyObject_SetAttr(self, kQ, args[1]) < 0 || !keep_batch(self)) {
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
    BatchBinding binding(kept_batch(self));
    InsideWorker inside(current_batch());
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
        if (!give_up(a.get(), sha1old.get(), error.get())) return {};
    }
    return Ref::borrow(Py_None);
}

}  // namespace fw::batch
