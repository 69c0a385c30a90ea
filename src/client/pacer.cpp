// The pacer's rule (docs/robustness.md, "Throttling").
//
// A reply 429 or 503 is a refusal, and whose problem it is gets decided by
// evidence, never by one unit of work (a file over its attempts, a listing
// page over its attempts) alone. In its host group (the API hosts; the
// download hosts) a refused unit waits (refused for the batch, not served
// since) or was just refused once; a unit whose refusals were found its own
// counts as neither.
// - Shared, the whole batch's problem: another unit waits; the unit's first
//   refusal while another was just refused once, less than a quiet spell
//   (below) after a pause, or with a Retry-After.
// - The unit's own: its first refusal otherwise (its request alone waits
//   1 s and is sent again); later, when its group served a request since
//   its last refusal. When it served none, the group's last request served
//   (the API's, when the downloads have none yet: the file's own address) is
//   sent again: answered, the refusal is the unit's own, refused, shared.
//   A refusal of the unit's own fails its attempt; the unit's next request
//   waits for its Retry-After, if it named one, up to a minute.
// A shared refusal pauses every request: for the reply's Retry-After (at
// most 10 minutes), or 1 s doubling up to 60 s. Then one request tests the
// service while the others wait: answered, the pause and its backoff are
// over; refused, a longer pause follows. A unit refused more than once
// tests with its group's last request served, not its own. Refusals of requests sent
// before a pause began open no new one. A Retry-After of 0 or a past date
// is none, and no refused unit is sent again sooner than 1 s.
//
// Two units refused at once, or less than a quiet spell apart (3 s, 10 s
// when both named a Retry-After; counted from the pause's end), show a
// limit: a shared pause then cuts the group's rate, once a pause, to 0.7 x
// the rate the service refused, its ceiling: the group's
// spacing when it was spaced, else the highest rate of its starts over any
// trailing stretch of the last second (at least 0.1 s long). A group that
// was not spaced and had no other request out (the listing pages, a
// folder's last file) is not cut: that pace is the client's own. Each
// success then adds 0.2 requests/s below the knee (a cut is won back in
// about a second), above it 0.01, doubling every 10 s without a refusal, so
// a limit that was lifted is found again. The knee is 0.9 x the ceiling when
// the group had been spaced for a second since the last pause (it met the
// limit from just above); after a burst there is none: 0.7 x a burst may
// still be above the limit.
#include "module/python.h"

#include "client/pacer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

#include "client/replies.h"
#include "client/transport.h"
#include "module/console.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"
#include "module/shared.h"

namespace fw::client {
namespace {

constexpr double kCut = 0.7, kKnee = 0.9, kSettled = 1.0, kFastGrowth = 0.2,
                 kSlowGrowth = 0.01, kProbeDoubling = 10.0, kMinRate = 0.5;
constexpr double kQuiet = 3.0, kQuietRetryAfter = 10.0;  // a spell without refusals
constexpr double kWindow = 1.0, kMinSpan = 0.1;  // the rate hit: starts of the last second
constexpr double kFirstBackoff = 1.0, kMaxBackoff = 60.0;
constexpr double kAnnounceEvery = 10.0, kPiece = 0.25, kRefusalBudget = 900.0;
constexpr double kAwaitTest = 0.02;  // real seconds between looks at the test's answer
constexpr long kUnauthorized = 401, kUnavailable = 503;
constexpr int kApi = 0, kDownloads = 1, kGroups = 2;
constexpr size_t kStarts = 128;  // request starts kept per group
constexpr double kNever = -std::numeric_limits<double>::infinity();

const Text kMonotonic{"monotonic"}, kSleep{"sleep"}, kHTTPError{"HTTPError"},
    kRequestException{"RequestException"}, kPauseHead{"请求过于频繁，暂停"}, kPauseTail{"秒"}, kEvent{"Event"}, kWait{"wait"};

using Ticket = PacedRequest::Ticket;

// One unit of work's standing in one group (a field of the thread's tally).
struct Unit {
    enum State { Clear, Once, Waits } state = Clear;
    int refusals = 0;
    uint64_t served_mark = 0;  // the group's requests served at its last refusal
};

struct Group {
    double rate = 0;     // requests a second; 0: not spaced
    double ceiling = 0;  // the rate last refused
    double knee = 0;     // below knee x ceiling the rate grows fast
    double cut_at = 0;
    uint64_t cut_pause = 0;     // the pause of the last cut, plus one
    double next_slot = kNever;  // the earliest start of the next request
    double starts[kStarts] = {};
    size_t newest = 0, kept = 0;
    uint64_t served = 0;
    int units[3] = {};  // units Once and Waits (Clear is not counted)
    uint64_t last_unit = 0;  // the unit refused last, and when
    double last_refused = kNever;
    bool last_retry_after = false;

    void record(double now) {
        newest = (newest + 1) % kStarts;
        starts[newest] = now;
        kept = std::min(kept + 1, kStarts);
    }

    // The highest rate over the trailing stretches of the last second.
    double rate_hit(double now) const {
        double best = 0;
        for (size_t i = 0; i < kept; ++i) {
            const double start = starts[(newest + kStarts - i) % kStarts];
            if (now - start > kWindow) break;
            if (i > 0) best = std::max(best, i / std::max(now - start, kMinSpan));
        }
        return best > 0 ? best : 1 / kWindow;
    }

    void cut(double now, bool settled) {
        knee = settled ? kKnee : 0;
        ceiling = rate > 0 ? rate : rate_hit(now);
        rate = std::max(kCut * ceiling, kMinRate);
        cut_at = now;
    }

    void grow(double now) {
        if (rate == 0) return;
        rate += rate < knee * ceiling ? kFastGrowth
                                      : std::min(kFastGrowth, kSlowGrowth * doubled(now - cut_at));
    }

    // 2 to the power elapsed / kProbeDoubling: whole doublings exact, linear
    // in between. (The C library's exp2 carries a symbol version newer than
    // the glibc the wheels are built for.)
    static double doubled(double elapsed) {
        const double steps = std::min(std::max(elapsed / kProbeDoubling, 0.0), 60.0);
        const double whole = std::floor(steps);
        return std::ldexp(1.0 + (steps - whole), static_cast<int>(whole));
    }

    // Other units than `unit` in `state`.
    int others(const Unit& unit, Unit::State state) const {
        return units[state] - (unit.state == state ? 1 : 0);
    }
    void move(Unit& unit, Unit::State state) {
        if (unit.state != Unit::Clear) --units[unit.state];
        if (state != Unit::Clear) ++units[state];
        unit.state = state;
    }
};

enum class Whose { Own, Shared, Unknown };

struct Refusal {
    Whose whose = Whose::Shared;
    bool first = false;  // the unit's first in its group
    bool limit = false;  // another unit refused at once, or within a quiet spell
    bool announce = false;
    double resume_at = 0;
};

}  // namespace

// A batch's shared state. Its lock is held for arithmetic only, never while
// Python code runs.
class Pacer {
public:
    ~Pacer() {
        for (SharedRef& slot : known_) {
            Ref known = slot.take();
            if (!Ref::holds_interpreter()) known.abandon();  // a worker at exit let go of it last
        }
    }

    // The group's last request served, (url, headers): one whose answer is
    // known.
    void remember(int group, Ref known) { known_[group].replace(std::move(known)); }
    Ref known(int group) const { return known_[group].get(); }

    // Seconds to wait before the request may start; 0: it starts now. After
    // a pause, the first request to come tests the service alone.
    double reserve(int group, double now, Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        Group& g = groups_[group];
        if (now < resume_at_) return resume_at_ - now;
        t.awaits_test = testing_ && test_out_ && !t.tester;
        if (t.awaits_test) return kAwaitTest;
        if (testing_) test_out_ = t.tester = true;
        if (!t.tester) {
            if (!t.reserved || t.slot < resume_at_) {  // none yet, or one before a later pause
                t.slot = std::max(now, g.next_slot);
                if (g.rate > 0) g.next_slot = t.slot + 1 / g.rate;
                t.reserved = true;
            }
            if (t.slot > now) return t.slot - now;
        }
        t.generation = generation_;
        g.record(now);
        return 0;
    }

    // The tester left without an answer: the next request tests.
    void untest(Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        if (t.tester) test_out_ = false;
        t.tester = false;
    }

    void succeeded(int group, Unit& unit, Ticket& t, double started) {
        std::lock_guard<std::mutex> hold(lock_);
        pause_over(t);
        Group& g = groups_[group];
        g.move(unit, Unit::Clear);
        ++g.served;
        g.grow(started);
    }

    // The tester's known request was answered.
    void test_answered(Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        pause_over(t);
    }

    // Records a refusal of `unit` and says whose it is; a shared one pauses
    // the batch. `retry_after` is 0 when the reply names no wait.
    Refusal refused(int group, Unit& unit, uint64_t id, Ticket& t, double started, double now,
                    double retry_after) {
        std::lock_guard<std::mutex> hold(lock_);
        Group& g = groups_[group];
        Refusal r;
        r.first = unit.refusals++ == 0;
        const bool waiting = g.others(unit, Unit::Waits) > 0;
        const bool at_once = waiting || g.others(unit, Unit::Once) > 0;
        const double quiet = retry_after > 0 && g.last_retry_after ? kQuietRetryAfter : kQuiet;
        const bool after_pause = now - resume_at_ < quiet;
        r.limit = at_once || (g.last_unit != id && (after_pause || now - g.last_refused < quiet));
        g.last_unit = id;
        g.last_refused = now;
        g.last_retry_after = retry_after > 0;
        const bool served = g.served > unit.served_mark;
        unit.served_mark = g.served;
        if (r.first ? at_once || after_pause || retry_after > 0 : waiting) {
            r.whose = Whose::Shared;
        } else {
            r.whose = r.first || served ? Whose::Own : Whose::Unknown;
        }
        if (r.whose == Whose::Shared) pause(g, unit, r, t, started, now, retry_after);
        if (r.whose == Whose::Own) own(g, unit, r, t);
        return r;
    }

    // A refusal whose owner was unknown: shared after all, or the unit's own.
    void settle(int group, Unit& unit, Refusal& r, Ticket& t, double started, double now,
                double retry_after, bool shared) {
        std::lock_guard<std::mutex> hold(lock_);
        Group& g = groups_[group];
        r.whose = shared ? Whose::Shared : Whose::Own;
        if (shared) {
            pause(g, unit, r, t, started, now, retry_after);
        } else {
            own(g, unit, r, t);
        }
    }

    // The tester's known request was refused: the next pause.
    Refusal test_refused(int group, Unit& unit, Ticket& t, double now) {
        std::lock_guard<std::mutex> hold(lock_);
        Refusal r;
        pause(groups_[group], unit, r, t, now, now, 0);
        return r;
    }

    // The unit is over: it waits no more.
    void ended(Unit (&units)[kGroups]) {
        std::lock_guard<std::mutex> hold(lock_);
        for (int group = 0; group < kGroups; ++group) groups_[group].move(units[group], Unit::Clear);
    }

private:
    // A request sent after the last pause was answered: the pause is over.
    void pause_over(Ticket& t) {
        if (t.generation == generation_) {
            backoff_ = kFirstBackoff;
            testing_ = test_out_ = false;
        }
        t.tester = false;
    }

    // A refusal of the unit's own says nothing of the service: a test it
    // was passes to the next request.
    void own(Group& g, Unit& unit, const Refusal& r, Ticket& t) {
        g.move(unit, r.first ? Unit::Once : Unit::Clear);
        if (t.tester) test_out_ = false;
        t.tester = false;
    }

    void pause(Group& g, Unit& unit, Refusal& r, Ticket& t, double started, double now,
               double retry_after) {
        g.move(unit, Unit::Waits);
        if (t.generation == generation_) {  // the first refusal since the last pause
            ++generation_;
            double wait = std::max(retry_after, kFirstBackoff);
            if (retry_after <= 0) {
                wait = backoff_;
                backoff_ = std::min(backoff_ * 2, kMaxBackoff);
            }
            resume_at_ = std::max(resume_at_, now + wait);
            testing_ = true;
            test_out_ = false;
            r.announce = now - announced_at_ >= kAnnounceEvery;
            if (r.announce) announced_at_ = now;
        } else if (retry_after > 0) {  // sent before the pause began
            resume_at_ = std::max(resume_at_, now + std::max(retry_after, kFirstBackoff));
        }
        t.tester = false;
        // Spaced for a while since the last pause: the rate met the limit
        // from just above. Else it was a burst, or a rate refused at once.
        const bool settled = g.rate > 0 && now - resume_at_ >= kSettled;
        const bool pushed = g.rate > 0 || (g.kept > 0 && g.starts[g.newest] > started);
        if (r.limit && pushed && g.cut_pause != generation_ + 1) {
            g.cut(now, settled);
            g.cut_pause = generation_ + 1;
        }
        g.next_slot = std::max(g.next_slot, resume_at_);
        r.resume_at = resume_at_;
    }

    std::mutex lock_;
    Group groups_[kGroups];
    uint64_t generation_ = 0;  // pauses so far
    double resume_at_ = kNever;
    double backoff_ = kFirstBackoff;
    double announced_at_ = kNever;
    bool testing_ = false;   // after a pause, until a request sent after it is answered
    bool test_out_ = false;  // the test is under way
    SharedRef known_[kGroups];
};

namespace {

// This thread's current unit of work.
struct Tally {
    int depth = 0;
    uint64_t id = 0;
    Pacer* pacer = nullptr;  // where it was refused
    Unit groups[kGroups];
    double not_before = kNever;  // its next request, after a refusal
    bool shared = false;         // shared refusals, on the 15-minute clock
    double first = 0;
    long status = 0;  // the last refusal's
    bool spent = false;
};
thread_local Tally tally;
std::atomic<uint64_t> units{0};

// The unit keeps being refused: it does not test the service after a pause.
bool refused_again() {
    return tally.groups[kApi].refusals > 1 || tally.groups[kDownloads].refusals > 1;
}

bool now_monotonic(double& now) {
    Ref value = call_global_attr(names::time, kMonotonic);
    if (!value) return false;
    now = PyFloat_AsDouble(value.get());
    return !(now == -1.0 && PyErr_Occurred());
}

bool sleep_for(double seconds) {
    Ref delay = Ref::steal(PyFloat_FromDouble(seconds));
    return delay && call_global_attr(names::time, kSleep, {delay.get()});
}

// A wait for another thread's answer, not for a time: real time, whatever
// clock the module's `time` keeps.
bool await_test() {
    Ref never_set = call_global_attr(names::threading, kEvent);
    Ref delay = never_set ? Ref::steal(PyFloat_FromDouble(kAwaitTest)) : Ref();
    return delay && call_method(never_set.get(), kWait, {delay.get()});
}

// "请求过于频繁，暂停N秒", N the whole seconds of the pause, rounded up (a
// microsecond of rounding error in the clock's arithmetic is no second).
bool announce_pause(double seconds) {
    const long whole = static_cast<long>(std::ceil(seconds - 1e-6));
    Ref digits = Ref::steal(PyUnicode_FromFormat("%ld", whole));
    Ref line = digits ? concat({kPauseHead, digits.get(), kPauseTail}) : Ref();
    return line && console::say(line.get());
}

// A request the batch's stop keeps from being sent (again).
void raise_batch_stopped() {
    raise_request_error(kRequestException, Ref::steal(PyUnicode_FromString(msg::kBatchStopped)));
}

void raise_refused(const char* format, long status, PyObject* url, PyObject* reply = nullptr) {
    raise_request_error(kHTTPError, Ref::steal(PyUnicode_FromFormat(format, status, url)), reply);
}

enum class Answer { Served, Refused, Unknown, Error };

// Sends the group's last request served again, unpaced (with `or_api`, the
// API's when the group has none yet). Unknown when there is none, or it
// failed (an Exception, passed over); Error for anything else, left pending.
Answer ask_known(const Pacer& pacer, int group, bool or_api) {
    Ref known = pacer.known(group);
    if (!known && or_api) known = pacer.known(kApi);
    if (!known) return Answer::Unknown;
    Route route;
    Ref reply = route.choose()
                    ? route.send(PyTuple_GET_ITEM(known.get(), 0),
                                 {{names::headers, PyTuple_GET_ITEM(known.get(), 1)},
                                  {names::stream, Py_True},
                                  {names::timeout, ints::listing_timeout}})
                    : Ref();
    const long status = reply ? status_of(reply.get()) : 0;
    if (!reply || !close_reply(reply.get())) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Answer::Error;
        PyErr_Clear();
        return Answer::Unknown;
    }
    return is_refusal(status) ? Answer::Refused : Answer::Served;
}

// Shared refusals past the 15-minute budget fail the unit.
bool within_budget(double next_try, PyObject* url, PyObject* reply = nullptr) {
    if (!tally.shared || next_try - tally.first <= kRefusalBudget) return true;
    tally.spent = true;
    raise_refused(msg::kRefusedTooLong, tally.status, url, reply);
    return false;
}

void start_clock(double now, long status) {
    tally.status = status;
    if (tally.shared) return;
    tally.shared = true;
    tally.first = now;
}

}  // namespace

PacedBatch::PacedBatch() : pacer_(new Pacer) {}
PacedBatch::~PacedBatch() = default;

RefusalClock::RefusalClock() noexcept {
    if (tally.depth++ > 0) return;
    tally = Tally();
    tally.depth = 1;
    tally.id = ++units;
}

RefusalClock::~RefusalClock() {
    if (--tally.depth == 0 && tally.pacer != nullptr) tally.pacer->ended(tally.groups);
}

bool refusals_spent() noexcept { return tally.spent; }

PacedRequest::PacedRequest(PyObject* url, PyObject* headers, PacedBatch& batch)
    : url_(url), headers_(headers), batch_(batch), group_(on_api_hosts(url) ? kApi : kDownloads) {}

PacedRequest::~PacedRequest() { batch_.pacer().untest(ticket_); }

void PacedRequest::remember() {
    if (headers_ == nullptr) return;
    Ref known = Ref::steal(PyTuple_Pack(2, url_, headers_));
    if (known) {
        batch_.pacer().remember(group_, std::move(known));
    } else {
        PyErr_Clear();  // a known request less, nothing worse
    }
}

// The tester's unit keeps being refused: it tests with its group's last
// request served, not its own. True when the request may go on; false with
// an error set.
bool PacedRequest::probe_as_test() {
    Pacer& pacer = batch_.pacer();
    const Answer answer = ask_known(pacer, group_, false);
    if (answer == Answer::Error) return false;
    if (answer == Answer::Unknown) return true;  // its own request tests instead
    if (answer == Answer::Served) {
        pacer.test_answered(ticket_);
        return true;
    }
    double now = 0;
    if (!now_monotonic(now)) return false;
    start_clock(now, kUnavailable);
    const Refusal refusal = pacer.test_refused(group_, tally.groups[group_], ticket_, now);
    return !refusal.announce || announce_pause(refusal.resume_at - now);
}

bool PacedRequest::admit() {
    Pacer& pacer = batch_.pacer();
    for (;;) {
        if (!now_monotonic(started_)) return false;
        const bool own_wait = started_ < tally.not_before;
        const double wait = own_wait ? tally.not_before - started_ : pacer.reserve(group_, started_, ticket_);
        if (wait <= 0) {
            if (!ticket_.tester || !refused_again()) return true;
            if (!probe_as_test()) return false;
            if (ticket_.tester) return true;  // nothing to test with: its own request tests
            continue;  // tested: now it goes as any other request
        }
        if (batch_.stopped()) {
            if (group_ == kDownloads) return true;  // its file is in progress: not held
            raise_batch_stopped();
            return false;
        }
        if (!own_wait && !within_budget(started_ + wait, url_)) return false;
        if (!(ticket_.awaits_test ? await_test() : sleep_for(std::min(wait, kPiece)))) return false;
    }
}

PacedRequest::Verdict PacedRequest::judge(PyObject* reply) {
    Pacer& pacer = batch_.pacer();
    const long status = status_of(reply);
    if (status == kUnauthorized && group_ == kApi) {
        if (batch_.cookie_rejected(reply, url_)) {
            raise_request_error(kHTTPError, Ref::steal(PyUnicode_FromFormat(msg::kCookieRejected, url_)),
                                reply);
        }
        return Verdict::Fail;
    }
    Unit& unit = tally.groups[group_];
    if (!is_refusal(status)) {
        pacer.succeeded(group_, unit, ticket_, started_);
        remember();
        return Verdict::Use;
    }
    const double asked = retry_after(reply);
    double now = 0;
    if (!close_reply(reply) || !now_monotonic(now)) return Verdict::Fail;
    if (batch_.stopped()) {  // nothing is sent again once the batch stops
        raise_batch_stopped();
        return Verdict::Fail;
    }
    tally.pacer = &pacer;
    tally.not_before = now + std::min(std::max(asked, kFirstBackoff), kMaxBackoff);
    Refusal refusal = pacer.refused(group_, unit, tally.id, ticket_, started_, now, asked);
    if (refusal.whose == Whose::Unknown) {
        const Answer answer = ask_known(pacer, group_, true);
        if (answer == Answer::Error) return Verdict::Fail;
        pacer.settle(group_, unit, refusal, ticket_, started_, now, asked, answer != Answer::Served);
    }
    ticket_.reserved = false;
    if (refusal.whose == Whose::Own) {
        if (refusal.first) return Verdict::Again;  // a passing refusal: its request alone waits
        raise_refused(msg::kRefusedAlone, status, url_, reply);
        return Verdict::Fail;
    }
    start_clock(now, status);
    if (!within_budget(refusal.resume_at, url_, reply)) return Verdict::Fail;
    if (refusal.announce && !announce_pause(refusal.resume_at - now)) return Verdict::Fail;
    return Verdict::Again;
}

}  // namespace fw::client
