// The console: every line the module prints goes out here, in what the
// console's encoding can show. Every line but a prompt goes out whole under
// the module's `lock`, so that two threads' lines never interleave and an
// output line and its record in the output file stay in step (the worker
// holds the lock across both).
#pragma once

#include "module/python.h"

#include "module/pycall.h"

namespace fw::console {

// Takes the module's `lock` and gives it back when it ends, however the
// scope ends. take() is false with an error set when the lock cannot be had.
class OutputLock {
public:
    OutputLock() = default;
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
    bool take();

private:
    CallOnExit release_;
};

// print(line) under the lock, for main's messages: an earlier batch's
// workers may outlive their main (a third Ctrl-C) and print meanwhile. A
// console that cannot show the line gets what its encoding can show. False
// with the error set when print fails otherwise.
bool tell(PyObject* line);

// print(line) with the lock held by the caller, for a worker's lines: a
// console that fails is passed over (the line's record is in the output
// file). False only for what is not an Exception (an interrupt).
bool show(PyObject* line);

// show(line) under the lock.
bool say(PyObject* line);

// input(prompt), the prompt in what the console's encoding can show: the
// line read, or null with the error set (EOFError at the end of input).
Ref ask(PyObject* prompt);

// "Type: message" of an exception, as the console shows an error.
Ref describe(PyObject* error);

}  // namespace fw::console
