// The batch driver: the bodies of main, the worker class and run_down.
#pragma once

#include "module/python.h"

#include <atomic>
#include <optional>

#include "client/run.h"
#include "module/names.h"

namespace fw::batch {

Ref main(PyObject* const* args);         // no arguments
Ref thread_init(PyObject* const* args);  // self, q, cookie, cid
Ref thread_run(PyObject* const* args);   // self
Ref run_down(PyObject* const* args);     // q, cookie, cid

}  // namespace fw::batch

namespace fw::batch {

// The output file's name, and the one-line form a record is written in
// there: a carriage return or line feed inside it becomes `\r` or `\n`.
extern const Text output_file;
Ref one_line(PyObject* text);

// One batch, from the start of its main() to the end of the last worker that
// works for it. It lives in a capsule, so the interpreter's reference counts
// keep it: main holds it, and each worker keeps it on its thread object from
// mythread.__init__ on. A worker left behind by an earlier main() goes on
// under that batch: its stop, its counts, its output file.
class Batch {
public:
    // A new batch in its capsule, the latest from now on; its output file is
    // resolved in the current directory now.
    static Ref start();
    // The batch in a capsule made by start(); null (no error set) for any
    // other object.
    static Batch* in(PyObject* capsule) noexcept;
    // visit(batch) for every batch alive, with their list held: `visit`
    // calls nothing of Python's.
    static void each(void (*visit)(Batch&)) noexcept;

    client::Run& run() noexcept { return run_; }
    const client::Run& run() const noexcept { return run_; }
    // No main() started after this one's.
    bool latest() const noexcept;
    // The output file, as an absolute path.
    PyObject* output_path() const noexcept { return output_path_.get(); }

    std::atomic<long> given_up{0};       // files given up
    std::atomic<int> workers_inside{0};  // its worker threads in mythread.run now
    // The output file's last line was checked for a cut-short end.
    std::atomic<bool> tail_checked{false};

private:
    Batch() = default;
    static void release(PyObject* capsule);
    client::Run run_;
    unsigned long number_ = 0;
    Ref output_path_;
    Batch* previous_ = nullptr;  // the batches alive, in the order started
    Batch* next_ = nullptr;
};

// The batch the calling thread works for, and its capsule (borrowed); null
// outside one.
Batch* current_batch() noexcept;
PyObject* current_batch_capsule() noexcept;

// Binds the calling thread to the batch in `capsule` (and the client to its
// run) for the life of the binding; an empty Ref binds nothing.
class BatchBinding {
public:
    explicit BatchBinding(Ref capsule);
    ~BatchBinding();
    BatchBinding(const BatchBinding&) = delete;
    BatchBinding& operator=(const BatchBinding&) = delete;

private:
    Ref capsule_;
    Batch* batch_;
    std::optional<client::RunBinding> run_binding_;
    BatchBinding* outer_;
    friend Batch* current_batch() noexcept;
    friend PyObject* current_batch_capsule() noexcept;
};

// Worker threads inside mythread.run now, in every batch.
int workers_running() noexcept;

// In a child forked while workers ran: their threads stayed in the parent.
// Every count of workers, the process's and each batch's, keeps the calling
// thread only (when it is a worker itself), so that a main() in the child
// waits for none of the parent's.
void forget_workers() noexcept;

// How the last main ended, as the exit status of the `fernwick` command.
enum class Outcome : int {
    Done = 0,            // every file done
    Failed = 1,          // another error ended main
    NothingDone = 2,     // config.ini unreadable, or a setting invalid
    GivenUp = 3,         // finished, with files given up
    ListingFailed = 4,   // a listing failed on every attempt
    Stopped = 5,         // the batch cannot succeed: the cookie rejected, or files given up in a row
    Interrupted = 130,   // KeyboardInterrupt, as a shell reports Ctrl-C
};
int last_status() noexcept;

}  // namespace fw::batch
