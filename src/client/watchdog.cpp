#include "module/python.h"

#include "client/watchdog.h"

#include <map>
#include <mutex>
#include <vector>

#include "client/clock.h"
#include "module/names.h"
#include "module/pycall.h"
#include "module/shared.h"

namespace fw::client {
namespace {

const Text kRaw{"raw"}, kShutdown{"shutdown"}, kThread{"Thread"},
    kEvent{"Event"}, kWait{"wait"}, kSet{"set"}, kClear{"clear"}, kTarget{"target"},
    kDaemon{"daemon"}, kName{"name"}, kStart{"start"}, kJoin{"join"},
    kThreadName{"fernwick-watchdog"};

constexpr double kPollSeconds = 0.25;

struct Watched {
    double deadline;
    Ref raw;
};

// The watched reads and the thread's marks, shared by every thread. The
// lock is never held while Python code runs: a reference leaves the map
// under the lock and is used or released after it.
std::mutex state_lock;
// Never destroyed: it may hold references when the process exits, after the
// interpreter is gone.
std::map<uint64_t, Watched>& watched = *new std::map<uint64_t, Watched>;
uint64_t last_ticket = 0;
bool running = false;  // a watchdog thread is on duty
bool retired = false;  // the interpreter is exiting: no thread is on duty again

SharedRef wake_event;  // set only to end the thread's pause early
SharedRef last_thread;

// Takes every overdue read out of the map, which marks it cut off (see
// WatchedRead::cut_off), then shuts each one's socket; a read that ended
// meanwhile ignores it.
bool cut_off_overdue() {
    double now = 0;
    if (!monotonic_now(now)) return false;
    std::vector<Ref> overdue;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        for (auto it = watched.begin(); it != watched.end();) {
            if (it->second.deadline > now) {
                ++it;
                continue;
            }
            overdue.push_back(std::move(it->second.raw));
            it = watched.erase(it);
        }
    }
    for (Ref& raw : overdue) {
        if (!call_method(raw.get(), kShutdown)) PyErr_Clear();
        raw.reset();  // here, not in the vector's noexcept destructor
    }
    return true;
}

// Marks the thread off duty when there is nothing left to watch; true when
// it should go on. Whoever ends a batch, a read still running elsewhere
// keeps its deadline.
bool stay_on_duty() {
    std::lock_guard<std::mutex> hold(state_lock);
    if (!watched.empty() && !retired) return true;
    running = false;
    return false;
}

// The watchdog thread: a poll every kPollSeconds, and an end at the first
// poll that finds no read watched (the pauses between one worker's downloads
// are far shorter, so a batch keeps one thread). The end of a batch wakes it
// early; it clears the wake itself, so a wake that finds reads still
// watched costs one poll, not a spin.
// Deadlines are read on the module's `time`, the clock the reads set them
// by; if it fails, the thread ends quietly and the next watched read starts
// another. A daemon thread: a read of a caller's daemon thread does not hold
// the interpreter's exit up; retire_watchdog, which the exit runs before it
// ends the threads left, joins it.
PyObject* watch(PyObject*, PyObject*) {
    Ref pause = Ref::steal(PyFloat_FromDouble(kPollSeconds));
    Ref event = wake_event.get();
    bool healthy = pause && event;
    while (stay_on_duty()) {
        healthy = healthy && call_method(event.get(), kWait, {pause.get()}) &&
                  call_method(event.get(), kClear) && cut_off_overdue();
        if (!healthy) {
            std::lock_guard<std::mutex> hold(state_lock);
            running = false;
            break;
        }
    }
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef watch_def = {"watch", watch, METH_NOARGS, nullptr};

Ref ensure_event() {
    if (Ref event = wake_event.get()) return event;
    Ref made = call_global_attr(names::threading, kEvent);
    return made ? wake_event.set_once(std::move(made)) : Ref();
}

// Starts a thread for a read that found none on duty (already marked
// running, so that a thread that ends at once finds its own mark).
bool start_thread() {
    // The last thread has ended or is ending: joining reaps it (before 3.8 an
    // unjoined thread leaves its lock behind in the threading module).
    Ref previous = last_thread.take();
    Ref target = (!previous || call_method(previous.get(), kJoin)) && ensure_event()
                     ? Ref::steal(PyCFunction_New(&watch_def, nullptr))
                     : Ref();
    Ref thread = target ? call_global_attr(names::threading, kThread, {},
                                           {{kTarget, target.get()}, {kName, kThreadName}})
                        : Ref();
    if (!thread || PyObject_SetAttr(thread.get(), kDaemon, Py_True) < 0 ||
        !call_method(thread.get(), kStart)) {
        std::lock_guard<std::mutex> hold(state_lock);
        running = false;
        return false;
    }
    last_thread.set_once(std::move(thread));
    return true;
}

// Wakes the thread, which then finds itself off duty, and joins it.
void end_thread(Cleanup& cleanup) {
    Ref event = wake_event.get();
    if (event) cleanup.step(bool(call_method(event.get(), kSet)));
    if (Ref thread = last_thread.take()) cleanup.step(bool(call_method(thread.get(), kJoin)));
}

}  // namespace

bool WatchedRead::start(PyObject* response, double deadline) {
    Ref raw = attr(response, kRaw);
    if (!raw || !PyObject_HasAttr(raw.get(), kShutdown)) {
        PyErr_Clear();
        return true;
    }
    bool needs_thread = false;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        ticket_ = ++last_ticket;
        watched.emplace(ticket_, Watched{deadline, std::move(raw)});
        needs_thread = !running && !retired;
        running = running || needs_thread;
    }
    return !needs_thread || start_thread();
}

WatchedRead::~WatchedRead() noexcept(false) {
    if (ticket_ == 0) return;
    Ref raw;  // released after the lock is given back
    std::lock_guard<std::mutex> hold(state_lock);
    auto it = watched.find(ticket_);
    if (it == watched.end()) return;
    raw = std::move(it->second.raw);
    watched.erase(it);
}

bool WatchedRead::cut_off() const {
    if (ticket_ == 0) return false;
    std::lock_guard<std::mutex> hold(state_lock);
    return watched.find(ticket_) == watched.end();
}

void stop_watchdog(Cleanup& cleanup) {
    {
        std::lock_guard<std::mutex> hold(state_lock);
        // Reads still watched (another thread's, or a worker's after a second
        // Ctrl-C): the thread stays on duty and ends after them.
        if (!watched.empty()) return;
    }
    end_thread(cleanup);
}

// The fork held the interpreter, and no thread holds state_lock without it
// (a free-threaded build stops every thread first), so the lock is free
// here. The parent's streams are let go, not shut down: their sockets are
// the parent's too. Its thread and event go with them: the event's lock may
// have been taken by the parent's watchdog when the fork came.
void forget_watchdog() {
    std::vector<Ref> parents;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        for (auto& entry : watched) parents.push_back(std::move(entry.second.raw));
        watched.clear();
        running = false;
    }
    for (Ref& raw : parents) raw.reset();  // here, not in the vector's noexcept destructor
    last_thread.take();
    wake_event.take();
}

void retire_watchdog(Cleanup& cleanup) {
    {
        std::lock_guard<std::mutex> hold(state_lock);
        retired = true;
    }
    end_thread(cleanup);
}

}  // namespace fw::client
