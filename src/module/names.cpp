#include "module/python.h"

#include "module/names.h"

#include <atomic>

#include "module/compat.h"
#include "module/messages.h"

namespace fw {

namespace {
Text* registered_texts = nullptr;  // zero-initialized before any Text registers
}

Text::Text(const char* utf8) noexcept : utf8_(utf8), next_(registered_texts) {
    registered_texts = this;
}

bool create_texts() {
    for (Text* text = registered_texts; text != nullptr; text = text->next_) {
        if (text->obj_ != nullptr) continue;
        PyObject* obj = PyUnicode_InternFromString(text->utf8_);
        if (obj == nullptr) return false;
        text->obj_ = obj;  // held for the life of the interpreter
    }
    return true;
}

namespace names {
const Text requests{"requests"}, json{"json"}, time{"time"}, hashlib{"hashlib"}, math{"math"},
    queue{"queue"}, threading{"threading"}, configparser{"configparser"};
const Text sha1list{"sha1list"}, cidlist{"cidlist"}, encodinglist{"encodinglist"}, lock{"lock"},
    mythread{"mythread"}, run_down{"run_down"}, get_url{"get_url"}, get_preid{"get_preid"},
    get_sha1list{"get_sha1list"}, get_cidlist{"get_cidlist"}, main{"main"};
const Text get{"get"}, text{"text"}, headers{"headers"}, timeout{"timeout"}, append{"append"},
    split{"split"}, close{"close"}, loads{"loads"}, stream{"stream"};
}  // namespace names

namespace ints {
Held zero, one, two, three, six, page_size, millis, prefix_size, listing_timeout, error_status,
    prefix_deadline, max_pages;

bool create() {
    struct Row {
        Held& slot;
        long value;
    };
    const Row table[] = {
        {zero, 0},        // maxsize of the work queue
        {one, 1},         // counters and page arithmetic
        {two, 2},         // first follow-up page; wait for a work item
        {three, 3},       // fields after the name in a listing entry
        {six, 6},         // request timeout of the per-file requests
        {page_size, 115}, // listing page size
        {millis, 1000},   // milliseconds per second of the time stamp
        {prefix_size, 131072},  // bytes of the prefix hash
        {listing_timeout, 30},  // seconds a listing reply may take
        {error_status, 400},    // the first HTTP status that is an error
        {prefix_deadline, kPrefixDeadlineSeconds},  // for the deadline's message
        {max_pages, 100000},    // pages one listing walk reads at most
    };
    for (const Row& row : table) {
        if (row.slot) continue;
        Ref value = Ref::steal(PyLong_FromLong(row.value));
        if (!value) return false;
        row.slot.set(std::move(value));
    }
    return true;
}
}  // namespace ints

namespace scope {
namespace {
PyObject* module_dict = nullptr;  // borrowed: the module is never freed
Held builtins_dict, open_fn, range_fn, input_fn;
// Resolved on first use, possibly by several threads at once; held for the
// life of the interpreter once set.
std::atomic<PyObject*> print_fn{nullptr};
const Text kOpen{"open"}, kRange{"range"}, kInput{"input"}, kPrint{"print"};

Ref builtin(PyObject* name) {
    Ref found;
    if (compat::dict_item(builtins_dict, name, found) == 0) {
        PyErr_Format(PyExc_NameError, msg::kNameError, name);
    }
    return found;
}
}  // namespace

void set_namespace(PyObject* dict) noexcept { module_dict = dict; }
PyObject* module_namespace() noexcept { return module_dict; }

bool resolve_builtins(PyObject* builtins_module) {
    if (!builtins_dict) builtins_dict.set(Ref::borrow(PyModule_GetDict(builtins_module)));
    for (auto [slot, name] : {std::pair<Held*, const Text*>{&open_fn, &kOpen},
                              {&range_fn, &kRange},
                              {&input_fn, &kInput}}) {
        if (*slot) continue;
        Ref found = Ref::steal(PyObject_GetAttr(builtins_module, *name));
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, msg::kNameError, name->get());
            return false;
        }
        slot->set(std::move(found));
    }
    return true;
}

Ref global(PyObject* name) {
    Ref found;
    if (compat::dict_item(module_dict, name, found) != 0) return found;
    return builtin(name);
}

PyObject* builtin_open() noexcept { return open_fn; }
PyObject* builtin_range() noexcept { return range_fn; }
PyObject* builtin_input() noexcept { return input_fn; }

Ref builtin_print() {
    PyObject* known = print_fn.load(std::memory_order_acquire);
    if (known != nullptr) return Ref::borrow(known);
    Ref found = builtin(kPrint);
    if (!found) return {};
    // Workers may get here together: the first one's object is kept.
    PyObject* expected = nullptr;
    if (!print_fn.compare_exchange_strong(expected, found.get(), std::memory_order_acq_rel)) {
        return Ref::borrow(expected);
    }
    Py_INCREF(found.get());  // the reference print_fn holds from now on
    return found;
}
}  // namespace scope

}  // namespace fw
