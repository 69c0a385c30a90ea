// The creation and execution of the module: the steps every import takes,
// around a definition that names the module's callables and the body that
// fills its namespace.
#pragma once

#include "module/python.h"

#include <cstddef>
#include <initializer_list>

#include "module/callable.h"
#include "module/names.h"

namespace fw::init {

struct Definition {
    const CallableRow* callables;  // the table of the module's callables
    size_t count;
    bool (*body)(PyObject* module_dict);  // binds the namespace, as the module's code would
};

// The Py_mod_create step: one module per process, in one interpreter.
PyObject* create_module(PyObject* spec, PyModuleDef* def);
// The Py_mod_exec step.
int exec_module(PyObject* module, const Definition& definition);

// ---- what a module body uses

bool bind(PyObject* dict, PyObject* name, const Ref& value);
// ns[name] = a new function object for row `row` of the table.
bool bind_function(PyObject* ns, PyObject* name, size_t row, PyObject* globals);
// `import name` for each name, bound in `dict`.
bool import_modules(PyObject* dict, std::initializer_list<const Text*> modules);

struct Method {
    PyObject* name;
    size_t row;
};
// class name(base): methods — made as a class statement makes it.
Ref make_class(PyObject* name, PyObject* base, std::initializer_list<Method> methods,
               PyObject* globals);

}  // namespace fw::init
