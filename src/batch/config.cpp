#include "module/python.h"

#include "batch/config.h"

#include "module/names.h"
#include "module/pycall.h"

namespace fw::batch {
namespace {

const Text kConfigParser{"ConfigParser"}, kReadFile{"read_file"}, kFileName{"config.ini"},
    kRead{"r"}, kEncoding{"encoding"}, kInterpolationError{"InterpolationError"}, kRaw{"raw"},
    kEmpty{""};

// One attempt: a new parser, the file opened under `encoding`, read whole.
Ref try_encoding(PyObject* encoding) {
    Ref config = call_global_attr(names::configparser, kConfigParser);
    if (!config) return {};
    Ref file = call(scope::builtin_open(), {kFileName, kRead}, {{kEncoding, encoding}});
    if (!file) return {};
    CallOnExit closes(file.copy(), names::close);  // whether or not the parser liked it
    return call_method(config.get(), kReadFile, {file.get()}) ? std::move(config) : Ref();
}

}  // namespace

Ref load_config() {
    Ref encodings = scope::global(names::encodinglist);
    Ref each = encodings ? Ref::steal(PyObject_GetIter(encodings.get())) : Ref();
    if (!each) return {};
    while (Ref encoding = Ref::steal(PyIter_Next(each.get()))) {
        Ref config = try_encoding(encoding.get());
        if (config) return config;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();  // this encoding failed; the next one may work
    }
    if (PyErr_Occurred()) return {};
    return Ref::borrow(kEmpty);
}

Ref read_setting(PyObject* config, PyObject* section, PyObject* key) {
    Ref value = call_method(config, names::get, {section, key});
    if (value) return value;
    Ref error = take_error();
    Ref parser_module = scope::global(names::configparser);
    Ref interpolation = parser_module ? attr(parser_module.get(), kInterpolationError) : Ref();
    if (!interpolation) PyErr_Clear();
    if (!interpolation || !PyErr_GivenExceptionMatches(error.get(), interpolation.get())) {
        restore_error(std::move(error));
        return {};
    }
    // A cookie copied from a browser keeps its single percent signs.
    return call_method(config, names::get, {section, key}, {{kRaw, Py_True}});
}

}  // namespace fw::batch
