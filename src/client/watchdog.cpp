#include "client/watchdog.h"

#include <map>

#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

const Text kRaw{"raw"}, kShutdown{"shutdown"}, kMonotonic{"monotonic"}, kThread{"Thread"},
    kEvent{"Event"}, kWait{"wait"}, kTarget{"target"},
    kDaemon{"daemon"}, kName{"name"}, kStart{"start"}, kJoin{"join"}, kThreadName{"fernwick-watchdog"};

constexpr double kPollSeconds = 0.25;

struct Watched {
    double deadline;
    Ref raw;
};

// Touched only with the interpreter lock held. Never destroyed: it may hold
// references when the process exits, after the interpreter is gone.
std::map<uint64_t, Watched>& watched = *new std::map<uint64_t, Watched>;
uint64_t last_ticket = 0;
bool running = false;
Held pause_event;  // never set: a wait on it is a pause that the interpreter can interrupt
Held last_thread;

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

// The watchdog thread: a poll every kPollSeconds, and an end at the first
// poll that finds no read watched (the pauses between one worker's downloads
// are far shorter, so a batch keeps one thread). Deadlines are read on the module's `time`, the
// clock the reads set them by; if it fails, the thread ends quietly and the
// next watched read starts another. The thread is not a daemon: the
// interpreter's exit waits for it (never longer than the reads it watches)
// instead of stopping it inside this function.
PyObject* watch(PyObject*, PyObject*) {
    Ref pause = Ref::steal(PyFloat_FromDouble(kPollSeconds));
    while (pause && !watched.empty()) {
        if (!call_method(pause_event, kWait, {pause.get()}) || !cut_off_overdue()) break;
    }
    PyErr_Clear();
    running = false;  // with the lock held since the last look at `watched`
    Py_RETURN_NONE;
}

PyMethodDef watch_def = {"watch", watch, METH_NOARGS, nullptr};

// Marked running before the thread starts: a thread that ends at once must
// find its own mark, not have it set after.
bool ensure_running() {
    if (running) return true;
    // The last thread has ended or is ending: joining reaps it (before 3.8 an
    // unjoined thread leaves its lock behind in the threading module).
    if (last_thread && !call_method(last_thread, kJoin)) return false;
    last_thread.clear();
    if (!pause_event) {
        Ref event = call_global_attr(names::threading, kEvent);
        if (!event) return false;
        pause_event.set(std::move(event));
    }
    running = true;
    Ref target = Ref::steal(PyCFunction_New(&watch_def, nullptr));
    Ref thread = target ? call_global_attr(names::threading, kThread, {},
                                           {{kTarget, target.get()}, {kName, kThreadName}})
                        : Ref();
    if (!thread || PyObject_SetAttr(thread.get(), kDaemon, Py_False) < 0 ||
        !call_method(thread.get(), kStart)) {
        running = false;
        return false;
    }
    last_thread.set(std::move(thread));
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
