// Texts, integers and module-level names: made once at import, held for the
// life of the interpreter, looked up at each use.
#pragma once

#include "module/python.h"

#include "module/ref.h"

namespace fw {

// A reference held for the life of the interpreter. Trivially destructible on
// purpose: it must not be released by a static destructor after the
// interpreter has gone.
class Held {
public:
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    void set(Ref ref) noexcept {
        PyObject* old = obj_;
        obj_ = ref.release();
        Py_XDECREF(old);
    }
    void clear() noexcept { set(Ref()); }

private:
    PyObject* obj_ = nullptr;
};

// A literal text of the module. Every Text registers itself when the library
// is loaded; create_texts() turns them all into interned str objects at
// import, so no call builds a literal again.
class Text {
public:
    explicit Text(const char* utf8) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    const char* utf8() const noexcept { return utf8_; }

private:
    friend bool create_texts();
    const char* utf8_;
    // Filled at import in objects declared const: without `mutable` that
    // write is undefined, and clang places such objects in memory that is
    // read-only by then.
    mutable PyObject* obj_ = nullptr;
    Text* next_;
};

bool create_texts();

// The names that several rooms of the module share.
namespace names {
// imported modules, in the order the module body binds them
extern const Text requests, json, time, hashlib, math, queue, threading, configparser;
// module-level state and functions
extern const Text sha1list, cidlist, encodinglist, lock, mythread, run_down, get_url,
    get_preid, get_sha1list, get_cidlist, main;
// attributes and keywords used in more than one place
extern const Text get, text, headers, timeout, append, split, close, loads, stream;
}  // namespace names

// Seconds the whole prefix read of a download may take.
constexpr long kPrefixDeadlineSeconds = 60;

// The shared integer constants.
namespace ints {
extern Held zero, one, two, three, six, page_size, millis, prefix_size, listing_timeout, error_status,
    prefix_deadline, max_pages;
bool create();
}  // namespace ints

// The module namespace and the builtins, fixed at import.
namespace scope {
void set_namespace(PyObject* module_dict) noexcept;  // borrowed; the module lives forever
PyObject* module_namespace() noexcept;
bool resolve_builtins(PyObject* builtins_module);
// A module-level name: the module namespace, then builtins, else NameError.
Ref global(PyObject* name);
// The builtins resolved once at import, and print on first use.
PyObject* builtin_open() noexcept;
PyObject* builtin_range() noexcept;
PyObject* builtin_input() noexcept;
Ref builtin_print();
}  // namespace scope

}  // namespace fw
