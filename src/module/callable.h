// The native function type that serves all eight callables of the module.
//
// Each callable is one row of a table: its qualified name, its parameters,
// the locals its code object lists, how its arguments are bound, and its
// body. The binding engine, the attributes that make the objects look like
// Python functions, and the traceback entries all read that table.
#pragma once

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

// Index of each row in the table (callable.cpp), in the order the module
// body creates the function objects.
enum class Callable { Init, Run, RunDown, GetUrl, GetPreid, GetSha1list, GetCidlist, Main, Count };

// Readies the function type and builds, once, the names, code objects and
// traceback entries of every row.
bool prepare_callables();
// A new function object for the row, with the module namespace as globals.
Ref new_function(Callable which, PyObject* globals);

}  // namespace fw
