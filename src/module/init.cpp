// The module's entry point, its creation and execution steps, and the
// module body that fills the namespace.
#include <cstdint>
#include <cstdio>

#include "module/callable.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"
#include "module/traceback.h"

namespace fw {
namespace {

// Process-wide: the module once its execution has started, and the
// interpreter it was first created in.
struct InitRecord {
    Held module;
    bool has_interpreter = false;
    int64_t interpreter = -1;
} record;

const Text kModuleName{"fernwick"}, kDunderName{"__name__"}, kDunderMain{"__main__"},
    kDunderBuiltins{"__builtins__"}, kDunderModule{"__module__"}, kDunderQualname{"__qualname__"},
    kDunderInit{"__init__"}, kRun{"run"}, kPrepare{"__prepare__"}, kThread{"Thread"},
    kLock{"Lock"}, kDunderTest{"__test__"}, kUtf8{"utf-8"}, kUtf8Sig{"utf-8-sig"}, kAnsi{"ANSI"},
    kUtf16{"utf-16"};

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

bool bind(PyObject* dict, PyObject* name, const Ref& value) {
    return value && PyDict_SetItem(dict, name, value.get()) == 0;
}

bool bind_function(PyObject* ns, PyObject* name, Callable which, PyObject* globals) {
    Ref fn = new_function(which, globals);
    return fn && PyObject_SetItem(ns, name, fn.get()) == 0;
}

bool import_modules(PyObject* dict) {
    for (const Text* name : {&names::requests, &names::json, &names::time, &names::hashlib,
                             &names::math, &names::queue, &names::threading,
                             &names::configparser}) {
        Ref module =
            Ref::steal(PyImport_ImportModuleLevelObject(*name, dict, nullptr, nullptr, 0));
        if (!bind(dict, *name, module)) return false;
    }
    return true;
}

Ref new_encodinglist() {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const Text* encoding : {&kUtf8, &kUtf8Sig, &kAnsi, &kUtf16}) {
        if (PyList_Append(list.get(), *encoding) < 0) return {};
    }
    return list;
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

// class mythread(threading.Thread): __init__, run
Ref build_worker_class(PyObject* globals) {
    Ref threading = scope::global(names::threading);
    if (!threading) return {};
    Ref base = attr(threading.get(), kThread);
    if (!base) return {};
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return {};
    Ref meta = metaclass_of(bases.get());
    if (!meta) return {};
    const int has_prepare = PyObject_HasAttr(meta.get(), kPrepare);
    Ref ns = has_prepare ? call_method(meta.get(), kPrepare, {names::mythread, bases.get()})
                         : Ref::steal(PyDict_New());
    if (!ns) return {};
    if (PyObject_SetItem(ns.get(), kDunderModule, kModuleName) < 0 ||
        PyObject_SetItem(ns.get(), kDunderQualname, names::mythread) < 0 ||
        !bind_function(ns.get(), kDunderInit, Callable::Init, globals) ||
        !bind_function(ns.get(), kRun, Callable::Run, globals)) {
        return {};
    }
    return call(meta.get(), {names::mythread, bases.get(), ns.get()});
}

bool run_module_body(PyObject* dict) {
    if (!import_modules(dict)) return false;
    if (!bind(dict, names::sha1list, Ref::steal(PyList_New(0))) ||
        !bind(dict, names::cidlist, Ref::steal(PyList_New(0))) ||
        !bind(dict, names::encodinglist, new_encodinglist()) ||
        !bind(dict, names::lock, call_global_attr(names::threading, kLock)) ||
        !bind(dict, names::mythread, build_worker_class(dict))) {
        return false;
    }
    const struct {
        const Text& name;
        Callable which;
    } functions[] = {
        {names::run_down, Callable::RunDown},         {names::get_url, Callable::GetUrl},
        {names::get_preid, Callable::GetPreid},       {names::get_sha1list, Callable::GetSha1list},
        {names::get_cidlist, Callable::GetCidlist},   {names::main, Callable::Main},
    };
    for (const auto& row : functions) {
        if (!bind_function(dict, row.name, row.which, dict)) return false;
    }
    Ref module_name = scope::global(kDunderName);
    if (!module_name) return false;
    const int is_main = PyObject_RichCompareBool(module_name.get(), kDunderMain, Py_EQ);
    if (is_main < 0) return false;
    if (is_main == 1 && !call_global(names::main)) return false;
    return bind(dict, kDunderTest, Ref::steal(PyDict_New()));
}

// Steps 4 to 9 of execution, once the module is recorded.
bool fill_module(PyObject* module, PyObject* dict) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttr(module, kDunderBuiltins, builtins.get()) < 0) return false;
    if (!ints::create()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    const int registered = PyDict_Contains(modules, kModuleName);
    if (registered < 0) return false;
    if (registered == 0 && PyDict_SetItem(modules, kModuleName, module) < 0) return false;
    return scope::resolve_builtins(builtins.get()) && prepare_callables() &&
           run_module_body(dict);
}

int exec_module(PyObject* module) {
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
    if (fill_module(module, dict)) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, msg::kInitFailed);
    add_traceback_entry(make_entry_code(msg::kInitFailed, "src/module/init.cpp", 1).get(), dict);
    record.module.clear();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "fernwick", nullptr, 0, no_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace fw

// Spelled out rather than PyMODINIT_FUNC, which before 3.9 leaves the
// symbol's visibility to the build's default (hidden here).
#if defined(_WIN32)
#define FW_EXPORT __declspec(dllexport)
#else
#define FW_EXPORT __attribute__((visibility("default")))
#endif

// The module's only exported symbol.
extern "C" FW_EXPORT PyObject* PyInit_fernwick(void) {
    return PyModuleDef_Init(&fw::module_def);
}
