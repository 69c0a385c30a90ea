// The creation and execution steps of the module, around the module body
// its definition supplies, and the helpers such a body uses.
#include "module/python.h"

#include "module/init.h"

#include <cstdint>
#include <cstdio>

#include "module/messages.h"
#include "module/pycall.h"
#include "module/traceback.h"

namespace fw::init {
namespace {

// Process-wide: the module once its execution has started, and the
// interpreter it was first created in.
struct InitRecord {
    Held module;
    bool has_interpreter = false;
    int64_t interpreter = -1;
} record;

const Text kModuleName{"fernwick"}, kDunderBuiltins{"__builtins__"},
    kDunderModule{"__module__"}, kDunderQualname{"__qualname__"}, kPrepare{"__prepare__"};

// ---- creation ----------------------------------------------------------------

int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

bool check_interpreter() {
    const int64_t id = current_interpreter_id();
    if (id == -1) return false;
    if (!record.has_interpreter) {
        record.has_interpreter = true;
        record.interpreter = id;
    } else if (id != record.interpreter) {
        PyErr_SetString(PyExc_ImportError, msg::kInterpreterChange);
        return false;
    }
    return true;
}

// Copies one attribute of the import spec into the module namespace; a
// missing attribute is skipped.
bool copy_spec_attribute(PyObject* spec, const char* from, PyObject* dict, const char* to,
                         bool keep_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!keep_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!check_interpreter()) return nullptr;
    if (record.module) return Ref::borrow(record.module).release();
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, "loader", dict, "__loader__", true) ||
        !copy_spec_attribute(spec, "origin", dict, "__file__", true) ||
        !copy_spec_attribute(spec, "parent", dict, "__package__", true) ||
        !copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// ---- execution -----------------------------------------------------------------

namespace {

bool check_version() {
    char built[8];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    built[3] = '\0';
    char running[4] = {0};
    const char* version = Py_GetVersion();
    for (int i = 0; i < 3 && version[i] != '\0'; ++i) running[i] = version[i];
    if (built[0] == running[0] && built[2] == running[2]) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::kVersionMismatch, built, "fernwick",
                            running) == 0;
}

// Steps 4 to 9 of execution, once the module is recorded.
bool fill_module(PyObject* module, PyObject* dict, const Definition& definition) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttr(module, kDunderBuiltins, builtins.get()) < 0) return false;
    if (!ints::create()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    const int registered = PyDict_Contains(modules, kModuleName);
    if (registered < 0) return false;
    if (registered == 0 && PyDict_SetItem(modules, kModuleName, module) < 0) return false;
    return scope::resolve_builtins(builtins.get()) &&
           prepare_callables(definition.callables, definition.count) && definition.body(dict);
}

// The most derived metaclass of the bases, as a class statement finds it.
Ref metaclass_of(PyObject* bases) {
    auto* winner = Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        auto* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError, msg::kMetaclassConflict);
        return {};
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

int exec_module(PyObject* module, const Definition& definition) {
    if (record.module) {
        if (record.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, msg::kReinit);
        return -1;
    }
    // The literal texts are needed before the body runs: the version warning
    // and the "init fernwick" entry do not use them, everything else does.
    if (!check_version() || !create_texts()) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, msg::kInitFailed);
        return -1;
    }
    record.module.set(Ref::borrow(module));
    PyObject* dict = PyModule_GetDict(module);
    scope::set_namespace(dict);
    if (fill_module(module, dict, definition)) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, msg::kInitFailed);
    add_traceback_entry(make_entry_code(msg::kInitFailed, "src/module/init.cpp", 1).get(), dict);
    record.module.clear();
    return -1;
}

// ---- helpers of a module body ---------------------------------------------------

bool bind(PyObject* dict, PyObject* name, const Ref& value) {
    return value && PyDict_SetItem(dict, name, value.get()) == 0;
}

bool bind_function(PyObject* ns, PyObject* name, size_t row, PyObject* globals) {
    Ref fn = new_function(row, globals);
    return fn && PyObject_SetItem(ns, name, fn.get()) == 0;
}

bool import_modules(PyObject* dict, std::initializer_list<const Text*> modules) {
    for (const Text* name : modules) {
        Ref module =
            Ref::steal(PyImport_ImportModuleLevelObject(*name, dict, nullptr, nullptr, 0));
        if (!bind(dict, *name, module)) return false;
    }
    return true;
}

Ref make_class(PyObject* name, PyObject* base, std::initializer_list<Method> methods,
               PyObject* globals) {
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    if (!bases) return {};
    Ref meta = metaclass_of(bases.get());
    if (!meta) return {};
    const int has_prepare = PyObject_HasAttr(meta.get(), kPrepare);
    Ref ns = has_prepare ? call_method(meta.get(), kPrepare, {name, bases.get()})
                         : Ref::steal(PyDict_New());
    if (!ns) return {};
    if (PyObject_SetItem(ns.get(), kDunderModule, kModuleName) < 0 ||
        PyObject_SetItem(ns.get(), kDunderQualname, name) < 0) {
        return {};
    }
    for (const Method& method : methods) {
        if (!bind_function(ns.get(), method.name, method.row, globals)) return {};
    }
    return call(meta.get(), {name, bases.get(), ns.get()});
}

}  // namespace fw::init
