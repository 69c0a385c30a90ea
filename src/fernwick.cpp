// The module fernwick: its callables, the module body that binds them, and
// its entry point. The composition root: the one place that knows the batch,
// the client and the engine in src/module/ together.
#include "module/python.h"

#include "batch/batch.h"
#include "client/client.h"
#include "client/watchdog.h"
#include "module/callable.h"
#include "module/init.h"
#include "module/pycall.h"

namespace fw {
namespace {

// Index of each row of kCallables, in the order the module body creates them.
enum Callable : size_t { Init, Run, RunDown, GetUrl, GetPreid, GetSha1list, GetCidlist, Main, Count };

const CallableRow kCallables[] = {
    {"mythread.__init__", "self q cookie cid", "", Binding::Parameters, batch::thread_init,
     "src/batch/worker.cpp"},
    {"mythread.run", "self", "", Binding::SelfOnly, batch::thread_run, "src/batch/worker.cpp"},
    {"run_down", "q cookie cid", "a sha1old url preid sha1new f", Binding::Parameters,
     batch::run_down, "src/batch/worker.cpp"},
    {"get_url", "pickcode cookie", "header url response htmljson file_url", Binding::Parameters,
     client::get_url, "src/client/download.cpp"},
    {"get_preid", "url cookie cid", "preid header response data", Binding::Parameters,
     client::get_preid, "src/client/download.cpp"},
    {"get_sha1list", "cid type cookie", "suffix url header1 response htmljson page each mun header2",
     Binding::Parameters, client::get_sha1list, "src/client/listing.cpp"},
    {"get_cidlist", "cid cookie", "url header1 response htmljson page each mun header2",
     Binding::Parameters, client::get_cidlist, "src/client/listing.cpp"},
    {"main", "",
     "config encoding cid type2 cookie recursion i eachcid workqueue threads each eachthread "
     "thread t a",
     Binding::None, batch::main, "src/batch/driver.cpp"},
};
static_assert(sizeof kCallables / sizeof kCallables[0] == Count, "one row per callable");

const Text kDunderName{"__name__"}, kDunderMain{"__main__"}, kDunderInit{"__init__"}, kRun{"run"},
    kThread{"Thread"}, kLock{"Lock"}, kDunderTest{"__test__"}, kUtf8{"utf-8"},
    kUtf8Sig{"utf-8-sig"}, kAnsi{"ANSI"}, kUtf16{"utf-16"}, kRegister{"register"},
    kRegisterAtFork{"register_at_fork"}, kAfterInChild{"after_in_child"};

Ref new_encodinglist() {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const Text* encoding : {&kUtf8, &kUtf8Sig, &kAnsi, &kUtf16}) {
        if (PyList_Append(list.get(), *encoding) < 0) return {};
    }
    return list;
}

// class mythread(threading.Thread): __init__, run
Ref build_worker_class(PyObject* globals) {
    Ref threading = scope::global(names::threading);
    Ref base = threading ? attr(threading.get(), kThread) : Ref();
    if (!base) return {};
    return init::make_class(names::mythread, base.get(), {{kDunderInit, Init}, {kRun, Run}},
                            globals);
}

// Run by the interpreter's exit (atexit), which comes before it ends the
// threads still running: the module's own thread is joined there, never
// ended inside the module.
PyObject* at_exit(PyObject*, PyObject*) {
    Cleanup cleanup;
    client::retire_watchdog(cleanup);
    cleanup.finish();
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"fernwick_at_exit", at_exit, METH_NOARGS, nullptr};

// Run in a child the process forked (multiprocessing's default on Linux
// before 3.14): the module's threads stayed in the parent, the watchdog and
// the workers of every batch alike.
PyObject* at_fork_child(PyObject*, PyObject*) {
    client::forget_watchdog();
    batch::forget_workers();
    Py_RETURN_NONE;
}

PyMethodDef at_fork_child_def = {"fernwick_at_fork_child", at_fork_child, METH_NOARGS, nullptr};

// atexit.register(at_exit), and os.register_at_fork(after_in_child=...)
// where processes fork (not on Windows).
bool register_process_hooks() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref hook = atexit ? Ref::steal(PyCFunction_New(&at_exit_def, nullptr)) : Ref();
    Ref os = hook && call_method(atexit.get(), kRegister, {hook.get()})
                 ? Ref::steal(PyImport_ImportModule("os"))
                 : Ref();
    if (!os) return false;
    if (!PyObject_HasAttr(os.get(), kRegisterAtFork)) return true;
    Ref child_hook = Ref::steal(PyCFunction_New(&at_fork_child_def, nullptr));
    return child_hook && call_method(os.get(), kRegisterAtFork, {},
                                     {{kAfterInChild, child_hook.get()}});
}

// What the module's code does at import: its imports, its shared state, the
// worker class and the functions; main when run as __main__.
bool run_module_body(PyObject* dict) {
    using init::bind;
    if (!init::import_modules(dict, {&names::requests, &names::json, &names::time,
                                     &names::hashlib, &names::math, &names::queue,
                                     &names::threading, &names::configparser})) {
        return false;
    }
    if (!register_process_hooks()) return false;
    if (!bind(dict, names::sha1list, Ref::steal(PyList_New(0))) ||
        !bind(dict, names::cidlist, Ref::steal(PyList_New(0))) ||
        !bind(dict, names::encodinglist, new_encodinglist()) ||
        !bind(dict, names::lock, call_global_attr(names::threading, kLock)) ||
        !bind(dict, names::mythread, build_worker_class(dict))) {
        return false;
    }
    const struct {
        const Text& name;
        Callable row;
    } functions[] = {
        {names::run_down, RunDown},         {names::get_url, GetUrl},
        {names::get_preid, GetPreid},       {names::get_sha1list, GetSha1list},
        {names::get_cidlist, GetCidlist},   {names::main, Main},
    };
    for (const auto& function : functions) {
        if (!init::bind_function(dict, function.name, function.row, dict)) return false;
    }
    Ref module_name = scope::global(kDunderName);
    if (!module_name) return false;
    const int is_main = PyObject_RichCompareBool(module_name.get(), kDunderMain, Py_EQ);
    if (is_main < 0) return false;
    if (is_main == 1 && !call_global(names::main)) return false;
    return bind(dict, kDunderTest, Ref::steal(PyDict_New()));
}

const init::Definition kDefinition{kCallables, Count, run_module_body};

int exec_fernwick(PyObject* module) { return init::exec_module(module, kDefinition); }

// What both modules of this library declare to the interpreter. Their state
// is the process's (the lists, the lock, the batch's outcome): one
// interpreter only. The shared state of the native code is safe without the
// interpreter's lock (atomics, and locks never held across a call into
// Python), so a free-threaded interpreter keeps running without it.
#if PY_VERSION_HEX >= 0x030C0000
#define FW_ONE_INTERPRETER {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define FW_ONE_INTERPRETER
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define FW_NO_GIL_NEEDED {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define FW_NO_GIL_NEEDED
#endif

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(init::create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_fernwick)},
    FW_ONE_INTERPRETER FW_NO_GIL_NEEDED {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "fernwick", nullptr, 0, no_methods, module_slots, nullptr, nullptr, nullptr,
};

// fernwick_status: how the last main ended, for the `fernwick` command. A
// second entry point of this library (loaded by fernwick_command.py from
// fernwick's own file), so the batch's state is shared and the namespace of
// fernwick stays as it is.
PyObject* last_status(PyObject*, PyObject*) { return PyLong_FromLong(batch::last_status()); }

PyMethodDef status_methods[] = {
    {"last_status", last_status, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot status_slots[] = {FW_ONE_INTERPRETER FW_NO_GIL_NEEDED {0, nullptr}};

PyModuleDef status_def = {
    PyModuleDef_HEAD_INIT, "fernwick_status", nullptr, 0, status_methods, status_slots, nullptr,
    nullptr, nullptr,
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

// The library's two exported symbols: the module, and its status for the command.
extern "C" FW_EXPORT PyObject* PyInit_fernwick(void) {
    return PyModuleDef_Init(&fw::module_def);
}

extern "C" FW_EXPORT PyObject* PyInit_fernwick_status(void) {
    return PyModuleDef_Init(&fw::status_def);
}
