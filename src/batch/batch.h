// The batch driver: the bodies of main, the worker class and run_down.
#pragma once

#include "module/python.h"

#include "module/names.h"

namespace fw::batch {

Ref main(PyObject* const* args);         // no arguments
Ref thread_init(PyObject* const* args);  // self, q, cookie, cid
Ref thread_run(PyObject* const* args);   // self
Ref run_down(PyObject* const* args);     // q, cookie, cid

}  // namespace fw::batch

namespace fw::batch {

// Files that run_down gave up on since the last reset (the start of main).
long given_up_count() noexcept;
void reset_given_up() noexcept;

// The output file, and the one-line form a record is written in there: a
// carriage return or line feed inside it becomes `\r` or `\n`.
extern const Text output_file;
Ref one_line(PyObject* text);

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

// The stop of an interrupted batch, process-wide (kept by the client, where a
// halt sets it too): once requested, no worker takes another entry and no
// failed file is tried again. main requests it when it fails while its
// workers run, and allows work again at its start.
void request_stop() noexcept;
bool stop_requested() noexcept;
// The output file's last line is looked at again before the next append
// (once a batch: see end_cut_line).
void reset_output_check() noexcept;
// Worker threads inside mythread.run now, in every dispatch.
int workers_running() noexcept;

}  // namespace fw::batch
