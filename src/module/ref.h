// Ref: the one owner of a PyObject reference in this module.
//
// A Ref is move-only. An empty Ref means "an exception is set", which is how
// every body in the module reports failure: a failed step returns {} and the
// error travels up to the callable's edge, where the traceback entry is added.
//
// Whatever may release a reference is noexcept(false), destructors included.
// A release can run a finalizer that waits (a socket's close gives up the
// interpreter's lock), and before 3.14 a thread that asks for the lock back
// while the interpreter finalizes is ended with pthread_exit, which unwinds
// the thread's frames. Unwinding through a noexcept frame is std::terminate.
#pragma once

#include "module/python.h"

#include <utility>

namespace fw {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept(false) {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() noexcept(false) {
        if (obj_ != nullptr && holds_interpreter()) Py_DECREF(obj_);
    }

    // True when this thread has the interpreter: its own thread state is the
    // one attached. False on a thread the interpreter is ending: before 3.14
    // a thread that asks for the interpreter back while it finalizes is ended
    // with pthread_exit before it is attached again, and the unwinding runs
    // the destructors of the frames it leaves; they must then touch no object
    // (leaked, with the process about to go). Asked of what finalization
    // leaves as it was: from 3.12 the thread's own current state (a thread
    // local); before, the state the lock holder set, against this thread's
    // own, which reads as none once the interpreter is gone. Not
    // PyGILState_Check: it answers true to every thread once finalization
    // has deleted its key, or once any subinterpreter exists.
    static bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
        return _PyThreadState_UncheckedGet() != nullptr;
#else
        PyThreadState* mine = PyGILState_GetThisThreadState();
        return mine != nullptr && mine == _PyThreadState_UncheckedGet();
#endif
    }

    // Takes over a new reference (the result of most API calls); null stays empty.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to a caller that steals it (a C API return value).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    Ref copy() const noexcept { return borrow(obj_); }
    void reset() noexcept(false) { Py_CLEAR(obj_); }
    // Lets go of the reference without releasing it (see holds_interpreter).
    void abandon() noexcept { obj_ = nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// The pending exception, taken out as one (normalized) exception object.
inline Ref take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Raises a taken exception again; an empty Ref leaves no error set.
inline void restore_error(Ref error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    if (value == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Holds the pending exception aside while cleanup code runs, and puts it back.
class SavedError {
public:
    SavedError() : error_(take_error()) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() noexcept(false) {
        if (Ref::holds_interpreter()) {
            restore_error(std::move(error_));
        } else {
            error_.abandon();
        }
    }

private:
    Ref error_;
};

}  // namespace fw
