#include "module/python.h"

#include "module/callable.h"

#include <cstring>
#include <string>

#include "module/compat.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/traceback.h"

namespace fw {

namespace {

constexpr Py_ssize_t kMaxParams = 4;

// What import builds once from a row.
struct Record {
    const char* name = nullptr;  // the plain name, inside the row's qualname
    Held name_text, qualname_text, code, entry_code;
    Held params[kMaxParams];
    Py_ssize_t nparams = 0;
};

// The table of the module's callables, and a record per row. Plain static
// storage on purpose: nothing of it is torn down at process exit, when
// threads the interpreter abandoned may still read it.
constexpr size_t kMaxCallables = 16;
const CallableRow* table = nullptr;
size_t table_size = 0;
Record records[kMaxCallables];

struct FunctionObject {
    PyObject_HEAD
    const CallableRow* row;
    Record* record;
    PyObject* globals;
    PyObject* annotations;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---- the code object that describes a callable ----------------------------

std::string joined(const char* words, const char* separator) {
    std::string out;
    for (const char* p = words; *p != '\0';) {
        const char* end = std::strchr(p, ' ');
        if (end == nullptr) end = p + std::strlen(p);
        if (!out.empty()) out += separator;
        out.append(p, end);
        p = *end == ' ' ? end + 1 : end;
    }
    return out;
}

// A code object compiled from a stub with the same parameters and locals, so
// that its argument count and variable names are the interpreter's own.
Ref describing_code(const Record& record, const CallableRow& row) {
    std::string locals = joined(row.locals, " = ");
    std::string source = std::string("def ") + record.name + "(" + joined(row.params, ", ") +
                         "):\n    " + (locals.empty() ? "pass" : locals + " = None") + "\n";
    Ref module_code = Ref::steal(Py_CompileString(source.c_str(), "fernwick", Py_file_input));
    if (!module_code) return {};
    Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!consts) return {};
    for (Py_ssize_t i = 0; i < PyTuple_Size(consts.get()); ++i) {
        PyObject* candidate = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(candidate)) return Ref::borrow(candidate);
    }
    PyErr_SetString(PyExc_SystemError, "fernwick: stub code object not found");
    return {};
}

bool build_record(Record& record, const CallableRow& row) {
    const char* dot = std::strrchr(row.qualname, '.');
    record.name = dot != nullptr ? dot + 1 : row.qualname;
    record.name_text.set(Ref::steal(PyUnicode_InternFromString(record.name)));
    record.qualname_text.set(Ref::steal(PyUnicode_InternFromString(row.qualname)));
    if (!record.name_text || !record.qualname_text) return false;
    record.nparams = 0;
    for (const char* p = row.params; *p != '\0';) {
        const char* end = std::strchr(p, ' ');
        size_t length = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (record.nparams == kMaxParams) {
            PyErr_SetString(PyExc_SystemError, "fernwick: too many parameters");
            return false;
        }
        Ref param = Ref::steal(PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(length)));
        if (!param) return false;
        PyObject* raw = param.release();
        PyUnicode_InternInPlace(&raw);
        record.params[record.nparams++].set(Ref::steal(raw));
        p += length;
        if (*p == ' ') ++p;
    }
    record.code.set(describing_code(record, row));
    std::string entry_name = std::string("fernwick.") + row.qualname;
    record.entry_code.set(make_entry_code(entry_name.c_str(), row.source, 1));
    return record.code && record.entry_code;
}

// ---- argument binding ------------------------------------------------------

bool positional_count_error(const char* name, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, msg::kPositionalCount, name, "exactly", expected, "s", given);
    return false;
}

Py_ssize_t parameter_index(const Record& record, PyObject* key) {
    for (Py_ssize_t i = 0; i < record.nparams; ++i) {
        if (PyUnicode_Compare(key, record.params[i]) == 0) return i;
    }
    return -1;
}

// Fills `bound` or raises the binding error. Positional arguments are
// borrowed from the argument tuple; keyword values are held in `kept`, since
// the caller's dict may change under a call running in another thread.
bool bind(const Record& record, PyObject* args, PyObject* kwargs, PyObject** bound, Ref* kept) {
    const Py_ssize_t n = record.nparams;
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > n) return positional_count_error(record.name, n, given);
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = PyTuple_GET_ITEM(args, i);

    const Py_ssize_t keywords = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    for (Py_ssize_t i = given; i < n; ++i) {
        const int found = keywords != 0 ? compat::dict_item(kwargs, record.params[i], kept[i]) : 0;
        if (found < 0) return false;
        if (found == 0) return positional_count_error(record.name, n, i);
        bound[i] = kept[i].get();
    }
    if (keywords <= n - given) return true;

    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, msg::kKeywordsMustBeStrings, record.name);
            return false;
        }
        Py_ssize_t index = parameter_index(record, key);
        if (index >= given) continue;  // the value the walk above took
        PyErr_Format(PyExc_TypeError, index >= 0 ? msg::kMultipleValues : msg::kUnexpectedKeyword,
                     record.name, key);
        return false;
    }
    return true;
}

// ---- the function type -----------------------------------------------------

PyObject* leave_with_entry(const FunctionObject* fn) {
    add_traceback_entry(fn->record->entry_code, fn->globals);
    return nullptr;
}

PyObject* run_body(const FunctionObject* fn, PyObject* const* args) {
    Ref result = fn->row->body(args);
    if (!result) return leave_with_entry(fn);
    return result.release();
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionObject* fn = as_function(self);
    const char* name = fn->record->name;
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const bool has_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    PyObject* bound[kMaxParams] = {};
    Ref kept[kMaxParams];
    switch (fn->row->binding) {
    case Binding::None:
        if (has_keywords) return PyErr_Format(PyExc_TypeError, msg::kNoKeywords, name);
        if (given != 0) return PyErr_Format(PyExc_TypeError, msg::kNoArguments, name, given);
        return run_body(fn, bound);
    case Binding::SelfOnly:
        if (has_keywords) return PyErr_Format(PyExc_TypeError, msg::kNoKeywords, name);
        if (given != 1) return PyErr_Format(PyExc_TypeError, msg::kExactlyOne, name, given);
        bound[0] = PyTuple_GET_ITEM(args, 0);
        return run_body(fn, bound);
    case Binding::Parameters:
        if (!bind(*fn->record, args, kwargs, bound, kept)) return leave_with_entry(fn);
        return run_body(fn, bound);
    }
    return nullptr;
}

// Bound like a Python function: through an instance, a method; else itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->record->qualname_text.get(),
                                self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_function(self)->globals);
    Py_VISIT(as_function(self)->annotations);
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(as_function(self)->globals);
    Py_CLEAR(as_function(self)->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

const Text kModuleName{"fernwick"};

PyObject* new_ref_or_none(PyObject* obj) { return Ref::borrow(obj != nullptr ? obj : Py_None).release(); }

PyObject* get_name(PyObject* self, void*) { return new_ref_or_none(as_function(self)->record->name_text); }
PyObject* get_qualname(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->record->qualname_text);
}
PyObject* get_module(PyObject*, void*) { return new_ref_or_none(kModuleName); }
PyObject* get_none(PyObject*, void*) { return new_ref_or_none(nullptr); }
PyObject* get_globals(PyObject* self, void*) { return new_ref_or_none(as_function(self)->globals); }
PyObject* get_annotations(PyObject* self, void*) {
    return new_ref_or_none(as_function(self)->annotations);
}
PyObject* get_code(PyObject* self, void*) { return new_ref_or_none(as_function(self)->record->code); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type;  // zero-initialized; filled in by ready_type()

bool ready_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(&function_type, 1);  // a static type is never freed
    function_type.tp_name = "fernwick.function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#ifdef Py_TPFLAGS_METHOD_DESCRIPTOR
    function_type.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;  // 3.8+: calls skip the bound method
#endif
    function_type.tp_call = function_call;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_repr = function_repr;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_getset = function_getset;
    return PyType_Ready(&function_type) == 0;
}

}  // namespace

bool prepare_callables(const CallableRow* rows, size_t count) {
    if (!ready_type()) return false;
    if (table == nullptr) {
        if (count > kMaxCallables) {
            PyErr_SetString(PyExc_SystemError, "fernwick: too many callables");
            return false;
        }
        table = rows;
        table_size = count;
    }
    for (size_t i = 0; i < table_size; ++i) {
        if (records[i].code && records[i].entry_code) continue;
        if (!build_record(records[i], table[i])) return false;
    }
    return true;
}

Ref new_function(size_t index, PyObject* globals) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    FunctionObject* fn = PyObject_GC_New(FunctionObject, &function_type);
    if (fn == nullptr) return {};
    fn->row = &table[index];
    fn->record = &records[index];
    fn->globals = Ref::borrow(globals).release();
    fn->annotations = annotations.release();
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace fw
