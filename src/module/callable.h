// The native function type that serves every callable of the module.
//
// Each callable is one row of a table the module supplies: its qualified
// name, its parameters, the locals its code object lists, how its arguments
// are bound, and its body. The binding engine, the attributes that make the
// objects look like Python functions, and the traceback entries all read
// that table.
#pragma once

#include "module/python.h"

#include <cstddef>

#include "module/ref.h"

namespace fw {

// A body receives the bound arguments, borrowed, in parameter order.
using Body = Ref (*)(PyObject* const* args);

enum class Binding {
    Parameters,  // required parameters, by position or keyword
    None,        // takes no arguments at all (main)
    SelfOnly,    // only the instance it is bound to (mythread.run)
};

struct CallableRow {
    const char* qualname;  // "get_url", "mythread.__init__", ...
    const char* params;    // blank-separated, in order
    const char* locals;    // blank-separated locals listed after the parameters
    Binding binding;
    Body body;
    const char* source;    // file named by the traceback entry
};

// Readies the function type and builds, once, the names, code objects and
// traceback entries of every row. The table must outlive the interpreter.
bool prepare_callables(const CallableRow* table, size_t count);
// A new function object for row `index` of the table, with the module
// namespace as globals.
Ref new_function(size_t index, PyObject* globals);

}  // namespace fw
