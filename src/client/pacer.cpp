// The pacer's rule (docs/robustness.md, "Throttling").
//
// A reply 429 or 503 is a refusal. Whose problem it is, is decided by
// evidence, never by one unit of work (a file over its attempts, a listing
// page over its attempts) alone. In its host group (the API hosts, the
// download hosts) a unit waits (refused for the batch, not served since, nor
// since a unit's own request passed a test), was refused once, or is clear
// (served, or its refusals found its own).
// - Shared, the batch's problem: another unit waits; or it is the unit's
//   first refusal and two others were refused once (two at once can be
//   chance), or it came within a quiet spell after a pause, or it names a
//   Retry-After.
// - Else the unit's own: the first time its request alone waits 1 s and is
//   sent again; later, when its group served a request since the unit's last
//   refusal. When it served none, the group's last request served (for a
//   download without one, the file's own address) is sent again: answered,
//   the refusal is the unit's own, refused, shared. Its own refusal fails
//   the attempt, and its next request waits its Retry-After (at most 60 s).
// A shared refusal pauses every request, for its Retry-After (at most 10
// minutes) or 1 s growing by half up to 60 s. Then one request tests the
// service while the others wait (a unit refused more than once tests with
// its group's last request served, and sends its own a second after the
// others): answered, the pause and its backoff are over; refused, the next
// pause follows, as long as that reply asks or longer by the backoff.
// Refusals of requests sent before a pause began open no new one. A
// Retry-After of 0 or a past date is none: no refused unit is sent again
// sooner than 1 s.
//
// Two units refused at once, or less than a quiet spell apart (3 s, 10 s
// when both named a Retry-After), show a limit: their shared pause cuts the
// group's pace (spacing.h) once, unless the group kept a pace of its own
// (unspaced, one request after another: the listing, a folder's last file).
#include "module/python.h"

#include "client/pacer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

#include "client/clock.h"
#include "client/replies.h"
#include "client/spacing.h"
#include "client/transport.h"
#include "module/console.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"
#include "module/shared.h"

namespace fw::client {
namespace {

constexpr double kQuiet = 3.0, kQuietRetryAfter = 10.0;  // a spell without refusals
constexpr double kSettled = 1.0;  // spaced this long since a pause: met the limit from above
// A pause without Retry-After grows by half with each refusal in a row: one
// request a pause asks a service that is down, and its return is seen at
// most about half the time it was away later (doubling: all of it).
constexpr double kFirstBackoff = 1.0, kBackoffGrowth = 1.5, kMaxBackoff = 60.0;
constexpr double kAnnounceEvery = 10.0, kPiece = 0.25, kRefusalBudget = 900.0;
constexpr double kAwaitTest = 0.02;  // real seconds between looks at the test's answer
constexpr long kUnauthorized = 401;
constexpr int kApi = 0, kDownloads = 1, kGroups = 2;
constexpr double kNever = -std::numeric_limits<double>::infinity();

const Text kHTTPError{"HTTPError"}, kRequestException{"RequestException"},
    kPauseHead{"请求过于频繁，暂停"}, kPauseTail{"秒"};

using Ticket = PacedRequest::Ticket;

// One unit of work's standing in one group (a field of the thread's tally).
struct Unit {
    enum State { Clear, Once, Waits } state = Clear;
    uint64_t era = 0;  // the group's era it took its state in
    int refusals = 0;
    uint64_t served_mark = 0;  // the group's requests served at its last refusal
};

// One host group's refusals and pace.
struct Group {
    Spacing spacing;
    uint64_t cut_pause = 0;  // the pause of the last cut, plus one
    uint64_t served = 0;
    int units[3] = {};  // units Once and Waits (Clear is not counted)
    uint64_t last_unit = 0;  // the unit refused last, and when
    double last_refused = kNever;
    bool last_retry_after = false;

    uint64_t era = 0;   // a test passed by a request of its own ends an era

    bool in(const Unit& unit, Unit::State state) const { return unit.state == state && unit.era == era; }
    // Other units than `unit` in `state`.
    int others(const Unit& unit, Unit::State state) const { return units[state] - in(unit, state); }
    void move(Unit& unit, Unit::State state) {
        if (unit.state != Unit::Clear && unit.era == era) --units[unit.state];
        if (state != Unit::Clear) ++units[state];
        unit.state = state;
        unit.era = era;
    }
    void next_era() {
        ++era;
        units[Unit::Once] = units[Unit::Waits] = 0;
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
        for (SharedRef& slot : known_) slot.empty_at_end();
    }

    // The group's last request served: one whose answer is known.
    void remember(int group, PyObject* url, PyObject* headers) {
        Ref known = Ref::steal(PyTuple_Pack(2, url, headers));
        if (!known) PyErr_Clear();  // a known request less, nothing worse
        known_[group].replace(std::move(known));
    }
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
                t.slot = g.spacing.reserve(now);
                t.reserved = true;
            }
            if (t.slot > now) return t.slot - now;
        }
        t.generation = generation_;
        g.spacing.started(now);
        return 0;
    }

    // The tester left without an answer: the next request tests.
    void untest(Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        release_test(t);
    }

    void succeeded(int group, Unit& unit, Ticket& t, double started) {
        std::lock_guard<std::mutex> hold(lock_);
        pause_over(t, true);
        Group& g = groups_[group];
        g.move(unit, Unit::Clear);
        ++g.served;
        g.spacing.served(started);
    }

    // The tester's known request was answered.
    void test_answered(Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        pause_over(t, false);
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
        const int once = g.others(unit, Unit::Once);  // two at once can be chance, three not
        const bool at_once = waiting || once > 1;
        const double quiet = retry_after > 0 && g.last_retry_after ? kQuietRetryAfter : kQuiet;
        const bool after_pause = now - resume_at_ < quiet;
        r.limit = waiting || once > 0 ||
                  (g.last_unit != id && (after_pause || now - g.last_refused < quiet));
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

    // A refusal whose owner was unknown, found shared or the unit's own.
    void settle(int group, Unit& unit, Refusal& r, Ticket& t, double started, double now,
                double retry_after, bool shared) {
        std::lock_guard<std::mutex> hold(lock_);
        Group& g = groups_[group];
        r.whose = shared ? Whose::Shared : Whose::Own;
        shared ? pause(g, unit, r, t, started, now, retry_after) : own(g, unit, r, t);
    }

    // The unit is over: it waits no more.
    void ended(Unit (&units)[kGroups]) {
        std::lock_guard<std::mutex> hold(lock_);
        for (int group = 0; group < kGroups; ++group) groups_[group].move(units[group], Unit::Clear);
    }

private:
    // A request sent after the last pause was answered: the pause is over.
    // When a unit's own request was the test (not a known one asked again),
    // who waited before must show again that they are refused.
    void pause_over(Ticket& t, bool own_request) {
        if (t.generation == generation_) {
            backoff_ = kFirstBackoff;
            if (testing_ && own_request) {
                for (Group& g : groups_) g.next_era();
            }
            testing_ = test_out_ = false;
        }
        t.tester = false;
    }

    // A refusal of the unit's own says nothing of the service: a test it
    // was passes to the next request.
    void own(Group& g, Unit& unit, const Refusal& r, Ticket& t) {
        g.move(unit, r.first ? Unit::Once : Unit::Clear);
        release_test(t);
    }

    void release_test(Ticket& t) {
        if (t.tester) test_out_ = false;
        t.tester = false;
    }

    void pause(Group& g, Unit& unit, Refusal& r, Ticket& t, double started, double now,
               double retry_after) {
        g.move(unit, Unit::Waits);
        // Spaced for a while since the last pause: the rate met the limit
        // from just above. Else it was a burst, or a rate refused at once.
        const bool settled = g.spacing.spaced() && now - resume_at_ >= kSettled;
        if (t.generation == generation_) {  // the first refusal since the last pause
            ++generation_;
            double wait = std::max(retry_after, kFirstBackoff);
            if (retry_after <= 0) {
                wait = backoff_;
                backoff_ = std::min(backoff_ * kBackoffGrowth, kMaxBackoff);
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
        if (r.limit && !g.spacing.own_pace(started) && g.cut_pause != generation_ + 1) {
            g.spacing.cut(now, settled);
            g.cut_pause = generation_ + 1;
        }
        g.spacing.hold_until(resume_at_);
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

// The group's last request served, asked again (with `or_api`, the API's
// when the group has none yet); status 0 when there is none or it failed,
// -1 with an error pending.
Answer ask_known(const Pacer& pacer, int group, bool or_api) {
    Ref known = pacer.known(group);
    if (!known && or_api) known = pacer.known(kApi);
    return known ? ask_again(known.get()) : Answer();
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

// The tester's unit keeps being refused: it tests with its group's last
// request served, not its own. True when the request may go on; false with
// an error set.
bool PacedRequest::probe_as_test() {
    Pacer& pacer = batch_.pacer();
    const Answer answer = ask_known(pacer, group_, false);
    if (answer.status < 0) return false;
    if (answer.status == 0) return true;  // nothing to test with: its own request tests
    double now = 0;
    if (!monotonic_now(now)) return false;
    if (!is_refusal(answer.status)) {  // the others go first; it follows in a second
        pacer.test_answered(ticket_);
        tally.not_before = now + kFirstBackoff;
        return true;
    }
    start_clock(now, answer.status);
    Refusal refusal;  // the test was refused: the next pause, as long as its reply asks
    pacer.settle(group_, tally.groups[group_], refusal, ticket_, now, now, answer.retry_after, true);
    return !refusal.announce || announce_pause(refusal.resume_at - now);
}

bool PacedRequest::admit() {
    Pacer& pacer = batch_.pacer();
    for (;;) {
        if (!monotonic_now(started_)) return false;
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
        if (!(ticket_.awaits_test ? wait_real(kAwaitTest) : sleep_for(std::min(wait, kPiece)))) return false;
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
        if (headers_ != nullptr) pacer.remember(group_, url_, headers_);
        return Verdict::Use;
    }
    const double asked = retry_after(reply);
    double now = 0;
    if (!close_reply(reply) || !monotonic_now(now)) return Verdict::Fail;
    if (batch_.stopped()) {  // nothing is sent again once the batch stops
        raise_batch_stopped();
        return Verdict::Fail;
    }
    tally.pacer = &pacer;
    tally.not_before = now + std::min(std::max(asked, kFirstBackoff), kMaxBackoff);
    Refusal refusal = pacer.refused(group_, unit, tally.id, ticket_, started_, now, asked);
    if (refusal.whose == Whose::Unknown) {
        const Answer answer = ask_known(pacer, group_, true);
        if (answer.status < 0) return Verdict::Fail;
        pacer.settle(group_, unit, refusal, ticket_, started_, now, std::max(asked, answer.retry_after),
                     answer.status == 0 || is_refusal(answer.status));
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
