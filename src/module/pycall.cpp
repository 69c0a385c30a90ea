#include "module/python.h"

#include "module/pycall.h"

#include <atomic>

namespace fw {

namespace {
Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject* obj : items) {
        Py_INCREF(obj);
        PyTuple_SET_ITEM(tuple.get(), i++, obj);
    }
    return tuple;
}
}  // namespace

Ref ordered_dict(std::initializer_list<Kw> entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const Kw& entry : entries) {
        if (PyDict_SetItem(dict.get(), entry.name, entry.value) < 0) return {};
    }
    return dict;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         std::initializer_list<Kw> kwargs) {
    Ref tuple = tuple_of(args);
    if (!tuple) return {};
    Ref dict;
    if (kwargs.size() != 0) {
        dict = ordered_dict(kwargs);
        if (!dict) return {};
    }
    return Ref::steal(PyObject_Call(callable, tuple.get(), dict.get()));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                std::initializer_list<Kw> kwargs) {
    Ref method = attr(obj, name);
    if (!method) return {};
    return call(method.get(), args, kwargs);
}

Ref call_global(PyObject* name, std::initializer_list<PyObject*> args,
                std::initializer_list<Kw> kwargs) {
    Ref callable = scope::global(name);
    if (!callable) return {};
    return call(callable.get(), args, kwargs);
}

Ref call_global_attr(PyObject* name, PyObject* attr_name, std::initializer_list<PyObject*> args,
                     std::initializer_list<Kw> kwargs) {
    Ref owner = scope::global(name);
    if (!owner) return {};
    return call_method(owner.get(), attr_name, args, kwargs);
}

Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

Ref item(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

Ref item_at(PyObject* obj, Py_ssize_t index) {
    return Ref::steal(PySequence_GetItem(obj, index));
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref result;
    for (PyObject* part : parts) {
        result = result ? Ref::steal(PyNumber_Add(result.get(), part)) : Ref::borrow(part);
        if (!result) return {};
    }
    return result;
}

Ref to_str(PyObject* obj) { return Ref::steal(PyObject_Str(obj)); }

CallOnExit::~CallOnExit() noexcept(false) {
    if (!obj_) return;
    if (!Ref::holds_interpreter()) {
        obj_.abandon();
        return;
    }
    SavedError keep;
    // Looked up and called without a bound method or an argument tuple: a
    // lock's release must not fail for want of memory, or it stays held.
    Ref done = Ref::steal(PyObject_CallMethodObjArgs(obj_.get(), method_, nullptr));
    if (!done) PyErr_Clear();
}

void Cleanup::step(bool succeeded) {
    if (succeeded) return;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return;
    }
    Ref error = take_error();
    if (!interrupt_) interrupt_ = std::move(error);
}

void Cleanup::finish() {
    if (!interrupt_) {
        restore_error(std::move(pending_));
        return;
    }
    if (pending_) PyException_SetContext(interrupt_.get(), pending_.release());
    restore_error(std::move(interrupt_));
}

namespace {
std::atomic<PrintHook> before_print{nullptr}, after_print{nullptr};
}  // namespace

void set_print_hooks(PrintHook before, PrintHook after) noexcept {
    before_print.store(before);
    after_print.store(after);
}

bool print_line(PyObject* text) {
    const PrintHook before = before_print.load();
    if (before != nullptr && !before()) return false;
    Ref print = scope::builtin_print();
    if (!print || !call(print.get(), {text})) return false;
    const PrintHook after = after_print.load();
    return after == nullptr || after();
}

}  // namespace fw
