#include "batch/batch.h"
namespace fw::batch {
static Ref todo() { PyErr_SetNone(PyExc_NotImplementedError); return {}; }
Ref main(PyObject* const*) { return todo(); }
Ref thread_init(PyObject* const*) { return todo(); }
Ref thread_run(PyObject* const*) { return todo(); }
Ref run_down(PyObject* const*) { return todo(); }
}
