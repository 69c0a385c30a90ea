// Small steps of interpreter code, each returning a Ref (empty on error), so
// the bodies read like the Python they stand for.
#pragma once

#include "module/python.h"

#include <initializer_list>

#include "module/names.h"

namespace fw {

struct Kw {
    PyObject* name;
    PyObject* value;
};

// f(*args, **kwargs); every argument is borrowed and must not be null.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {},
         std::initializer_list<Kw> kwargs = {});
// obj.name(*args, **kwargs)
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                std::initializer_list<Kw> kwargs = {});
// The module-level name, called: what `name(*args)` does inside the module.
Ref call_global(PyObject* name, std::initializer_list<PyObject*> args = {},
                std::initializer_list<Kw> kwargs = {});
// The module-level name's attribute, called: `module.attr(*args, **kwargs)`.
Ref call_global_attr(PyObject* name, PyObject* attr_name,
                     std::initializer_list<PyObject*> args = {},
                     std::initializer_list<Kw> kwargs = {});

Ref attr(PyObject* obj, PyObject* name);
Ref item(PyObject* obj, PyObject* key);
Ref item_at(PyObject* obj, Py_ssize_t index);
// a + b + c ..., left to right, with the interpreter's `+`.
Ref concat(std::initializer_list<PyObject*> parts);
Ref to_str(PyObject* obj);
// print(text), through the builtin print.
bool print_line(PyObject* text);
// Calls around every print_line, for a line of the console's own that printed
// lines must not tear: `before` runs before the text is printed, `after` once
// it is. A hook fails like print would (false, an error set). Null: none.
using PrintHook = bool (*)();
void set_print_hooks(PrintHook before, PrintHook after) noexcept;
// A new dict with the entries in the given order.
Ref ordered_dict(std::initializer_list<Kw> entries);

// Calls obj.method() when the scope ends, however it ends: a pending error
// is kept, and the call's own failure is ignored. Closes files and replies,
// releases the lock, cancels timers.
class CallOnExit {
public:
    CallOnExit() = default;
    CallOnExit(Ref obj, PyObject* method) noexcept : obj_(std::move(obj)), method_(method) {}
    CallOnExit(const CallOnExit&) = delete;
    CallOnExit& operator=(const CallOnExit&) = delete;
    ~CallOnExit() noexcept(false);
    void arm(Ref obj, PyObject* method) {
        obj_ = std::move(obj);
        method_ = method;
    }
    void disarm() { obj_.reset(); }

private:
    Ref obj_;
    PyObject* method_ = nullptr;
};

// The steps that end something (close a session, join a thread), run
// whatever the end was: the error pending at the start is set aside, an
// Exception a step raises is dropped, and an interrupt a step raises (any
// other exception) is kept, never swallowed. finish() puts back the
// interrupt, with the earlier error as its context, or else the earlier
// error.
class Cleanup {
public:
    Cleanup() : pending_(take_error()) {}
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;
    // Takes the result of one step.
    void step(bool succeeded);
    // True when a step was interrupted.
    bool interrupted() const noexcept { return bool(interrupt_); }
    void finish();

private:
    Ref pending_, interrupt_;
};

}  // namespace fw
