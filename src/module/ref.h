// Ref: the one owner of a PyObject reference in this module.
//
// A Ref is move-only. An empty Ref means "an exception is set", which is how
// every body in the module reports failure: a failed step returns {} and the
// error travels up to the callable's edge, where the traceback entry is added.
#pragma once

#include <Python.h>

#include <utility>

namespace fw {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

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
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Holds the pending exception aside while cleanup code runs, and puts it back.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace fw
