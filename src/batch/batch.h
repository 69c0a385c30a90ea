// The batch driver: the bodies of main, the worker class and run_down.
#pragma once

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

// The stop of an interrupted batch, process-wide: once requested, no worker
// takes another entry and no failed file is tried again. main requests it
// when it fails while its workers run, and allows work again at its start
// and once every worker of the stopped batch has ended.
void request_stop() noexcept;
void allow_work() noexcept;
bool stop_requested() noexcept;

}  // namespace fw::batch
