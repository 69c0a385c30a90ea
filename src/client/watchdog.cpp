#include "client/watchdog.h"

#include <map>

#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

const Text kRaw{"raw"}, kShutdown{"shutdown"}, kMonotonic{"monotonic"}, kSleep{"sleep"},
    kThread{"Thread"}, kTarget{"target"}, kDaemon{"daemon"}, kName{"name"}, kStart{"start"},
    kThreadName{"fernwick-watchdog"};

constexpr double kPollSeconds = 0.5;
constexpr int kIdlePollsBeforeExit = 10;

struct Watched {
    double deadline;
    Ref raw;
};

// Touched only with the interpreter lock held. Never destroyed: it may hold
// references when the process exits, after the interpreter is gone.
std::map<uint64_t, Watched>& watched = *new std::map<uint64_t, Watched>;
uint64_t last_ticket = 0;
bool running = false;
// The watchdog's own pause is the real time.sleep: a stand-in clock swapped
// into the module must not turn its poll into a spin, nor see its pauses.
Held real_sleep;

Ref monotonic() { return call_global_attr(names::time, kMonotonic); }

// Shuts every overdue read; a read that ended meanwhile ignores it.
bool cut_off_overdue() {
    Ref now_obj = monotonic();
    if (!now_obj) return false;
    const double now = PyFloat_AsDouble(now_obj.get());
    if (now == -1.0 && PyErr_Occurred()) return false;
    for (auto it = watched.begin(); it != watched.end();) {
        if (it->second.deadline > now) {
            ++it;
            continue;
        }
        Ref raw = std::move(it->second.raw);
        it = watched.erase(it);
        if (!call_method(raw.get(), kShutdown)) PyErr_Clear();
    }
    return true;
}

// The watchdog thread: a poll every kPollSeconds, and an end when nothing
// has been watched for a while. Deadlines are read on the module's `time`,
// the clock the reads set them by. If that clock fails, the thread ends
// quietly; the next watched read starts it again.
PyObject* watch(PyObject*, PyObject*) {
    Ref pause = Ref::steal(PyFloat_FromDouble(kPollSeconds));
    for (int idle = 0; pause && idle < kIdlePollsBeforeExit;) {
        if (!call(real_sleep, {pause.get()}) || !cut_off_overdue()) break;
        idle = watched.empty() ? idle + 1 : 0;
    }
    PyErr_Clear();
    running = false;
    Py_RETURN_NONE;
}

PyMethodDef watch_def = {"watch", watch, METH_NOARGS, nullptr};

// Marked running before the thread starts: a thread that ends at once (a
// clock that does not sleep) must find its own mark, not set it after.
bool ensure_running() {
    if (running) return true;
    if (!real_sleep) {
        Ref time_module = Ref::steal(PyImport_ImportModule("time"));
        Ref sleep = time_module ? attr(time_module.get(), kSleep) : Ref();
        if (!sleep) return false;
        real_sleep.set(std::move(sleep));
    }
    running = true;
    Ref target = Ref::steal(PyCFunction_New(&watch_def, nullptr));
    Ref thread = target ? call_global_attr(names::threading, kThread, {},
                                           {{kTarget, target.get()}, {kName, kThreadName}})
                        : Ref();
    if (!thread || PyObject_SetAttr(thread.get(), kDaemon, Py_True) < 0 ||
        !call_method(thread.get(), kStart)) {
        running = false;
        return false;
    }
    return true;
}

}  // namespace

bool WatchedRead::start(PyObject* response, PyObject* deadline) {
    Ref raw = attr(response, kRaw);
    if (!raw || !PyObject_HasAttr(raw.get(), kShutdown)) {
        PyErr_Clear();
        return true;
    }
    const double when = PyFloat_AsDouble(deadline);
    if (when == -1.0 && PyErr_Occurred()) return false;
    ticket_ = ++last_ticket;
    watched.emplace(ticket_, Watched{when, std::move(raw)});
    return ensure_running();
}

WatchedRead::~WatchedRead() {
    if (ticket_ == 0) return;
    auto it = watched.find(ticket_);
    if (it == watched.end()) return;
    Ref raw = std::move(it->second.raw);  // released after the map is consistent again
    watched.erase(it);
}

}  // namespace fw::client
