// The batch driver: the bodies of main, the worker class and run_down.
#pragma once

#include <atomic>
#include <memory>
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
// works for it. Its workers hold it (mythread keeps it from __init__ on), so
// a worker left behind by an earlier main() goes on under that batch: its
// stop, its counts, its output file.
class Batch {
public:
    // A new batch, the latest from now on; its output file is resolved in
    // the current directory now. Null with an error set when that fails.
    static std::shared_ptr<Batch> start();

    client::Run& run() const noexcept { return *run_; }
    const std::shared_ptr<client::Run>& run_handle() const noexcept { return run_; }
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
    std::shared_ptr<client::Run> run_ = std::make_shared<client::Run>();
    unsigned long number_ = 0;
    Ref output_path_;
};

// The batch the calling thread works for; null outside one.
Batch* current_batch() noexcept;
std::shared_ptr<Batch> current_batch_handle();

// Binds the calling thread to `batch` (and the client to its run) for the
// life of the binding; a null batch binds nothing.
class BatchBinding {
public:
    explicit BatchBinding(std::shared_ptr<Batch> batch);
    ~BatchBinding();
    BatchBinding(const BatchBinding&) = delete;
    BatchBinding& operator=(const BatchBinding&) = delete;

private:
    std::shared_ptr<Batch> batch_;
    std::optional<client::RunBinding> run_binding_;
    BatchBinding* outer_;
    friend Batch* current_batch() noexcept;
    friend std::shared_ptr<Batch> current_batch_handle();
};

// Worker threads inside mythread.run now, in every batch.
int workers_running() noexcept;

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
