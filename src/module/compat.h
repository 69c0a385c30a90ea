// Differences between the interpreter versions the module builds for, each
// hidden behind one helper. Everything else calls the helper, never the
// version-specific API.
#pragma once

#include "module/python.h"

#include "module/ref.h"

// Before 3.9 there is no setter for the reference count; the field is plain.
// (A free-threaded build has no single field: there the interpreter's setter
// is the only way, and it exists on every such version.)
#if PY_VERSION_HEX < 0x030900A4 && !defined(Py_SET_REFCNT)
#define Py_SET_REFCNT(ob, refcnt) ((void)(reinterpret_cast<PyObject*>(ob)->ob_refcnt = (refcnt)))
#endif

namespace fw::compat {

// dict[key] as a reference of the caller's own, so the value stays alive
// even if another thread replaces the entry meanwhile. Returns 1 and fills
// `result` when found, 0 (no error set, `result` empty) when missing, -1 on
// error.
inline int dict_item(PyObject* dict, PyObject* key, Ref& result) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(dict, key, &found);
    result = Ref::steal(found);
    return status;
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
    result = Ref::borrow(found);
    if (found != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// sys.<name> (stdout, stderr, ...) as a reference of the caller's own, taken
// in one step, so another thread replacing it cannot free it first (the
// borrowed PySys_GetObject could). Returns 1 and fills `result` when sys has
// it, 0 (no error set, `result` empty) when it does not, -1 on error.
inline int sys_attr(const char* name, Ref& result) {
#if PY_VERSION_HEX >= 0x030F0000
    PyObject* found = nullptr;
    const int status = PySys_GetOptionalAttrString(name, &found);
    result = Ref::steal(found);
    return status;
#else
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    result = sys ? Ref::steal(PyObject_GetAttrString(sys.get(), name)) : Ref();
    if (result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

}  // namespace fw::compat
