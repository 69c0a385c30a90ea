#include "module/python.h"

#include "client/run.h"

#include "client/transport.h"
#include "module/console.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

thread_local Run* bound = nullptr;

const Text kCookieLine{"cookie已失效（HTTP 401），请在config.ini中更新cookie后，以resume = 是重新运行"},
    kStreakHead{"连续放弃"}, kStreakMiddle{"个文件，任务停止（最后的错误："}, kStreakTail{"）"},
    kResponse{"response"}, kHTTPError{"HTTPError"}, kRequestException{"RequestException"};

Ref streak_line(PyObject* error) {
    Ref count = Ref::steal(PyUnicode_FromFormat("%d", kGiveUpStreak));
    Ref reason = count ? console::describe(error) : Ref();
    return reason ? concat({kStreakHead, count.get(), kStreakMiddle, reason.get(), kStreakTail})
                  : Ref();
}

void raise_rejected_cookie(PyObject* cause) {
    raise_request_error(
        kHTTPError, Ref::steal(PyUnicode_FromFormat(msg::kCookieRejected, PyTuple_GET_ITEM(cause, 1))),
        PyTuple_GET_ITEM(cause, 0));
}

// requests.RequestException(str(error)), with the error's reply when it had one.
void raise_streak(PyObject* error) {
    Ref text = to_str(error);
    if (!text) return;
    Ref reply = Ref::steal(PyObject_GetAttr(error, kResponse));
    if (!reply) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
        PyErr_Clear();
    }
    const bool attached = reply && reply.get() != Py_None;
    raise_request_error(kRequestException, std::move(text), attached ? reply.get() : nullptr);
}

}  // namespace

// A run that outlives its main (a worker left behind held it last).
Run::~Run() { halt_cause_.empty_at_end(); }

// Keeps `cause` and stops the work when this is the batch's first halt.
bool Run::first_halt(Halt kind, Ref cause) {
    PyObject* mine = cause.get();
    if (halt_cause_.set_once(std::move(cause)).get() != mine) return false;
    halt_kind_.store(static_cast<int>(kind));
    stop();
    return true;
}

bool Run::halted() const noexcept { return halt_kind_.load() != static_cast<int>(Halt::None); }

bool Run::cookie_rejected(PyObject* reply, PyObject* url) {
    // A batch stopped before (Ctrl-C) is ending, and its main may have
    // returned while a later batch prints: its halt says nothing.
    const bool told = !stopped();
    Ref cause = Ref::steal(PyTuple_Pack(2, reply, url));
    if (!cause) return false;
    return !first_halt(Halt::RejectedCookie, std::move(cause)) || !told ||
           console::say(kCookieLine);
}

bool Run::file_given_up(PyObject* error) {
    if (streak_.fetch_add(1) + 1 != kGiveUpStreak) return true;
    Ref line = streak_line(error);
    if (!line) return false;
    return !first_halt(Halt::GiveUpStreak, Ref::borrow(error)) || console::say(line.get());
}

bool Run::no_halt() const {
    const auto kind = static_cast<Halt>(halt_kind_.load());
    if (kind == Halt::None) return true;
    Ref cause = halt_cause_.get();
    if (!cause) {  // the halting thread is still storing it
        PyErr_SetString(PyExc_RuntimeError, msg::kBatchStopped);
        return false;
    }
    if (kind == Halt::RejectedCookie) {
        raise_rejected_cookie(cause.get());
    } else {
        raise_streak(cause.get());
    }
    return false;
}

void Run::end() { Ref cause = halt_cause_.take(); }

Run* current_run() noexcept { return bound; }

RunBinding::RunBinding(Run* run) noexcept : outer_(bound) { bound = run; }

RunBinding::~RunBinding() { bound = outer_; }

}  // namespace fw::client
