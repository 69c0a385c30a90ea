#include "module/python.h"

#include "module/console.h"

#include "module/compat.h"
#include "module/names.h"

namespace fw::console {
namespace {

const Text kAcquire{"acquire"}, kRelease{"release"}, kEncoding{"encoding"}, kEncode{"encode"},
    kDecode{"decode"}, kBackslashReplace{"backslashreplace"}, kReplace{"replace"},
    kAscii{"ascii"}, kColon{": "};

// The line as the console's encoding can show it.
Ref displayable(PyObject* line) {
    Ref stdout_now;  // a reference of our own: another thread may replace sys.stdout
    if (compat::sys_attr("stdout", stdout_now) < 0) PyErr_Clear();
    Ref encoding = stdout_now ? attr(stdout_now.get(), kEncoding) : Ref();
    if (!encoding || !PyUnicode_Check(encoding.get())) {
        PyErr_Clear();
        encoding = Ref::borrow(kAscii);
    }
    Ref bytes = call_method(line, kEncode, {encoding.get(), kBackslashReplace});
    return bytes ? call_method(bytes.get(), kDecode, {encoding.get(), kReplace}) : Ref();
}

// write(text), and when the console's encoding cannot take the text,
// write(the text as it can show it). A write is print or input: bool or Ref.
template <typename Write>
auto escaped_if_needed(PyObject* text, Write&& write) -> decltype(write(text)) {
    auto written = write(text);
    if (written || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return written;
    PyErr_Clear();
    Ref shown = displayable(text);
    return shown ? write(shown.get()) : decltype(written){};
}

// True when the step failed with an Exception, which is cleared; false when
// it succeeded or failed otherwise (left pending).
bool cleared_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// print(line), in what the console can show; the caller holds the lock.
bool print_shown(PyObject* line) { return escaped_if_needed(line, print_line); }

}  // namespace

bool OutputLock::take() {
    Ref lock = scope::global(names::lock);
    if (!lock || !call_method(lock.get(), kAcquire)) return false;
    release_.arm(std::move(lock), kRelease);
    return true;
}

bool tell(PyObject* line) {
    OutputLock held;
    return held.take() && print_shown(line);
}

bool show(PyObject* line) { return print_shown(line) || cleared_exception(); }

bool say(PyObject* line) {
    OutputLock held;
    return held.take() && show(line);
}

Ref ask(PyObject* prompt) {
    return escaped_if_needed(prompt,
                             [](PyObject* text) { return call(scope::builtin_input(), {text}); });
}

Ref describe(PyObject* error) {
    Ref kind = Ref::steal(PyUnicode_FromString(Py_TYPE(error)->tp_name));
    Ref detail = Ref::steal(PyObject_Str(error));
    if (!detail) {
        PyErr_Clear();
        detail = Ref::steal(PyUnicode_FromString(""));
    }
    return kind && detail ? concat({kind.get(), kColon, detail.get()}) : Ref();
}

}  // namespace fw::console
