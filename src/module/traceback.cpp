#include "module/python.h"

#include "module/traceback.h"

#include <frameobject.h>

namespace fw {

Ref make_entry_code(const char* function_name, const char* file_name, int line) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function_name, line)));
}

void add_traceback_entry(PyObject* entry_code, PyObject* globals) {
    if (entry_code == nullptr) return;
    // The frame is made while the exception is put aside: making it must not
    // see, or replace, the error being reported.
    Ref frame;
    {
        SavedError saved;
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(entry_code), globals, nullptr)));
        if (!frame) PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace fw
