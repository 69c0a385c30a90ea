#include "module/python.h"

#include "client/stop.h"

#include <atomic>

#include "client/pacer.h"
#include "client/transport.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"
#include "module/shared.h"

namespace fw::client {
namespace {

enum class Halt : int { None, RejectedCookie, GiveUpStreak };

std::atomic<bool> active{false};
std::atomic<bool> stopping{false};
std::atomic<int> halt_kind{static_cast<int>(Halt::None)};
std::atomic<int> streak{0};  // files given up since the last one done
// What the halt raises from: (reply, url) of the 401, or the streak's last
// error. The first halt keeps it.
SharedRef halt_cause;

const Text kCookieLine{"cookie已失效（HTTP 401），请在config.ini中更新cookie后，以resume = 是重新运行"},
    kStreakHead{"连续放弃"}, kStreakMiddle{"个文件，任务停止（最后的错误："}, kStreakTail{"）"},
    kColon{": "}, kAcquire{"acquire"}, kRelease{"release"},
    kResponse{"response"}, kHTTPError{"HTTPError"}, kRequestException{"RequestException"};

// Keeps `cause` and stops the work when this is the batch's first halt.
bool first_halt(Halt kind, Ref cause) {
    PyObject* mine = cause.get();
    if (halt_cause.set_once(std::move(cause)).get() != mine) return false;
    halt_kind.store(static_cast<int>(kind));
    stop_work();
    return true;
}

void clear_halt() {
    halt_kind.store(static_cast<int>(Halt::None));
    streak.store(0);
    Ref cause = halt_cause.take();  // released here, unlocked
}

Ref streak_line(PyObject* error) {
    Ref count = Ref::steal(PyUnicode_FromFormat("%d", kGiveUpStreak));
    Ref reason = count ? describe(error) : Ref();
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

void begin_batch() {
    allow_work();
    clear_halt();
    reset_pacer();
    active.store(true);
}

void end_batch() {
    active.store(false);
    clear_halt();
}
bool batch_active() noexcept { return active.load(); }

void stop_work() noexcept { stopping.store(true); }
void allow_work() noexcept { stopping.store(false); }
bool work_stopped() noexcept { return stopping.load(); }

bool halted() noexcept { return halt_kind.load() != static_cast<int>(Halt::None); }

bool halt_on_rejected_cookie(PyObject* reply, PyObject* url) {
    Ref cause = Ref::steal(PyTuple_Pack(2, reply, url));
    if (!cause) return false;
    return !first_halt(Halt::RejectedCookie, std::move(cause)) || say(kCookieLine);
}

void file_done() noexcept { streak.store(0); }

bool file_given_up(PyObject* error) {
    if (!batch_active() || streak.fetch_add(1) + 1 != kGiveUpStreak) return true;
    Ref line = streak_line(error);
    if (!line) return false;
    return !first_halt(Halt::GiveUpStreak, Ref::borrow(error)) || say(line.get());
}

bool no_halt() {
    const auto kind = static_cast<Halt>(halt_kind.load());
    if (kind == Halt::None) return true;
    Ref cause = halt_cause.get();
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

Ref describe(PyObject* error) {
    Ref kind = Ref::steal(PyUnicode_FromString(Py_TYPE(error)->tp_name));
    Ref detail = Ref::steal(PyObject_Str(error));
    if (!detail) {
        PyErr_Clear();
        detail = Ref::steal(PyUnicode_FromString(""));
    }
    return kind && detail ? concat({kind.get(), kColon, detail.get()}) : Ref();
}

bool say(PyObject* line) {
    Ref lock = scope::global(names::lock);
    if (!lock || !call_method(lock.get(), kAcquire)) return false;
    CallOnExit release(std::move(lock), kRelease);
    if (print_line(line)) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();  // a console that cannot show the line does not stop the batch
    return true;
}

}  // namespace fw::client
