// Traceback entries for exceptions that leave the module's callables.
#pragma once

#include "module/python.h"

#include "module/ref.h"

namespace fw {

// A code object that names one traceback entry ("fernwick.get_url", ...).
Ref make_entry_code(const char* function_name, const char* file_name, int line);
// Adds one entry for `entry_code` to the exception being raised, with the
// module namespace as the frame's globals.
void add_traceback_entry(PyObject* entry_code, PyObject* globals);

}  // namespace fw
