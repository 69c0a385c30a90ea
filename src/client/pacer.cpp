// The pacer's rule (docs/robustness.md, "Throttling"). A reply 429 or 503
// is a refusal, met by three mechanisms:
// - A pace per host group, learned from delivery (spacing.h): first
//   refusals of two units within 20 requests of the group (60 once paced),
//   with their endpoint served between them, show a limit and cut the
//   pace. Only a request sent after the last cut cuts again.
// - A breaker per endpoint, one probe at a time. A unit refused again with
//   nothing of its endpoint answered since asks a request of it answered
//   before (never its own): answered, the refusal is the unit's own;
//   refused, the endpoint pauses (as a reply asks, else 1 s growing by half
//   to 60 s), then one probe asks it again in its slot of the pace. A unit
//   refused right after the probe, nothing else served, is not its own.
// - A budget per unit of work: its first refusal is free (its group's next
//   slot, or a quarter second on); refused again while its endpoint served
//   others, it costs an attempt; where nothing of its endpoint was ever
//   answered, its attempts spread over half a minute. Its waits count on 15
//   minutes from its first refusal.
// A Retry-After that names a wait is honoured; one of 0 or a past date, and
// any refusal but a unit's first, waits at least 1 s.
#include "module/python.h"

#include "client/pacer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "client/clock.h"
#include "client/spacing.h"
#include "client/transport.h"
#include "module/console.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"
#include "module/shared.h"

namespace fw::client {
namespace {

constexpr double kPassing = 0.25, kFloor = 1.0;
constexpr double kBackoffGrowth = 1.5, kMaxBackoff = 60.0;
constexpr double kUnseenWaits[] = {3.0, 9.0, 19.0};  // with the attempts' pauses: given up at about 31 s
constexpr double kAnnounceEvery = 10.0, kPiece = 0.25, kRefusalBudget = 900.0;
constexpr double kAwaitProbe = 0.02;  // real seconds between looks at the probe's answer
// Requests of a group within which refusals recur (later at a pace).
constexpr uint64_t kRecur = 20, kRecurPaced = 60;
constexpr long kUnauthorized = 401;
constexpr int kGroups = 2;
constexpr double kNever = -std::numeric_limits<double>::infinity();

const Text kHTTPError{"HTTPError"}, kRequestException{"RequestException"},
    kPauseHead{"请求过于频繁，暂停"}, kPauseTail{"秒"};

using Ticket = PacedRequest::Ticket;

int group_of(Endpoint endpoint) { return endpoint == kDownload ? 1 : 0; }

// One endpoint's evidence and breaker.
struct Breaker {
    uint64_t answered = 0;    // replies that were no refusal, probes' included
    uint64_t opened = 0;      // times it opened
    uint64_t closed_at = 0;   // its answers when a probe last ended a pause
    double last_served_start = kNever;  // of any request answered
    double until = kNever, backoff = kFloor;
    bool open = false, probe_out = false;
};

struct Group {
    Spacing spacing;
    uint64_t started = 0;
    // The last first refusal of a unit: after how many starts, when.
    uint64_t refused_started = 0;
    double refused_at = kNever, cut_at = kNever;
};

// How a refusal stands.
enum Whose { Passing, AfterProbe, Late, Shared, Own, Unproven, Unseen };

struct Wait {
    double seconds = 0;
    bool real = false;   // for another thread's probe: real time
    bool paced = false;  // a first refusal's, while it counts as wanting the service
};

// This thread's current unit of work.
struct Tally {
    int depth = 0;
    Pacer* pacer = nullptr;  // the pacer that served it
    int refusals[kEndpoints] = {};
    uint64_t served_mark[kEndpoints] = {};  // its endpoint's answers at its last refusal
    int unseen = 0;
    double not_before = kNever, refused_at = kNever, first = kNever;
    double wanting_until = kNever;  // its wait counts as wanting the service till then
    long status = 0;  // the last refusal's
    bool spent = false;
    Ref pending[kEndpoints];  // (url, headers) served in the current attempt
};
thread_local Tally tally;

}  // namespace

// A batch's shared state. Its lock is held for arithmetic only, never while
// Python code runs.
class Pacer {
public:
    ~Pacer() {
        for (SharedRef& slot : known_) slot.empty_at_end();
    }

    Ref known(Endpoint e) const { return known_[e].get(); }
    void remember(Endpoint e, Ref request) { known_[e].replace(std::move(request)); }

    // How long a request must wait before it starts; none: it starts now,
    // a prober first asking the known request in its slot of the pace.
    Wait enter(Endpoint e, double now, Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        Breaker& b = breakers_[e];
        if (b.open) {
            if (now < b.until) return {b.until - now};
            if (b.probe_out) return {kAwaitProbe, true};
        }
        Group& g = groups_[group_of(e)];
        if (!t.reserved) t.slot = g.spacing.reserve(now);
        t.reserved = true;
        if (t.slot > now) return {t.slot - now};
        t.reserved = false;
        if (b.open) {
            b.probe_out = t.prober = true;
            return {};
        }
        t.opened = b.opened;
        t.in_flight = true;
        ++g.started;
        return {};
    }

    // The unit counts as wanting the service from `now`, or no longer.
    void want(Endpoint e, Ticket& t, double now, bool wanting) {
        std::lock_guard<std::mutex> hold(lock_);
        if (t.wanting == wanting) return;
        t.wanting = wanting;
        groups_[group_of(e)].spacing.want(now, wanting);
    }

    // The request's reply came, `served` or not (an error ends it too).
    void landed(Endpoint e, Ticket& t, double started, double now, bool served) {
        std::lock_guard<std::mutex> hold(lock_);
        if (!t.in_flight) return;
        t.in_flight = false;
        Breaker& b = breakers_[e];
        if (!served) return;
        ++b.answered;
        b.last_served_start = std::max(b.last_served_start, started);
        groups_[group_of(e)].spacing.served(now);
    }

    Whose refused(Endpoint e, const Ticket& t, double started, double now, double asked) {
        std::lock_guard<std::mutex> hold(lock_);
        Breaker& b = breakers_[e];
        const bool first = tally.refusals[e]++ == 0;
        const uint64_t mark = tally.served_mark[e];
        tally.served_mark[e] = b.answered;
        if (t.opened != b.opened) {  // sent before a pause: it extends the pause only while it lasts
            if (b.open && now < b.until && asked >= 0) b.until = std::max(b.until, now + std::max(asked, kFloor));
            return Late;
        }
        if (first) {
            learn(groups_[group_of(e)], b, started, now);
            return Passing;
        }
        // Refused right after a probe ended a pause, nothing else served:
        // the service answers one and refuses the next.
        if (mark < b.closed_at && b.answered == b.closed_at) return AfterProbe;
        return b.answered > mark ? Own : Unproven;
    }

    bool spaced(Endpoint e) {
        std::lock_guard<std::mutex> hold(lock_);
        return groups_[group_of(e)].spacing.spaced();
    }

    double gap(Endpoint e, double longest) {
        std::lock_guard<std::mutex> hold(lock_);
        return groups_[group_of(e)].spacing.gap(longest);
    }

    // The endpoint's one probe, for a unit that needs a test: Unproven when
    // taken (with `wait` while another's is out), Own once the endpoint
    // served since the unit's refusal, Shared while it is paused.
    Whose take_probe(Endpoint e, Ticket& t, bool& wait) {
        std::lock_guard<std::mutex> hold(lock_);
        Breaker& b = breakers_[e];
        wait = false;
        if (b.open) return Shared;
        if (b.answered > tally.served_mark[e]) return Own;
        if (!b.probe_out) b.probe_out = t.prober = true;
        wait = !t.prober;
        return Unproven;
    }

    void release_probe(Endpoint e, Ticket& t) {
        std::lock_guard<std::mutex> hold(lock_);
        if (t.prober) breakers_[e].probe_out = false;
        t.prober = false;
    }

    // The probe's answer: answered, the endpoint serves; else it pauses (for
    // `asked`, or by its backoff). Returns the seconds to announce, or 0.
    long probed(Endpoint e, Ticket& t, double now, bool answered, double asked) {
        std::lock_guard<std::mutex> hold(lock_);
        Breaker& b = breakers_[e];
        b.probe_out = t.prober = false;
        if (answered) {
            ++b.answered;
            if (b.open) b.closed_at = b.answered;
            b.open = false;
            b.backoff = kFloor;
            groups_[group_of(e)].spacing.served(now);
            return 0;
        }
        const double wait = asked >= 0 ? std::max(asked, kFloor) : b.backoff;
        if (asked < 0) b.backoff = std::min(b.backoff * kBackoffGrowth, kMaxBackoff);
        b.open = true;
        b.until = std::max(b.until, now + wait);
        ++b.opened;
        return announce(now, b.until - now);
    }

private:
    // A unit's first refusal: a limit when it recurs while the endpoint
    // serves. A unit meets one endpoint of a group, so the group's last first
    // refusal was another unit's.
    static void learn(Group& g, const Breaker& b, double started, double now) {
        const bool recurs = g.refused_at != kNever &&
                            g.started - g.refused_started <= (g.spacing.spaced() ? kRecurPaced : kRecur) &&
                            b.last_served_start > g.refused_at &&
                            started > g.cut_at;
        if (recurs) {
            g.spacing.limit(now);
            g.cut_at = now;
        }
        g.refused_at = now;
        g.refused_started = g.started;
    }

    // A pause is announced when longer than the last one announced, or 10 s
    // after it (a microsecond of the clock's rounding error is no second).
    long announce(double now, double seconds) {
        const long whole = static_cast<long>(std::ceil(seconds - 1e-6));
        if (whole <= announced_ && now - announced_at_ < kAnnounceEvery) return 0;
        announced_ = whole;
        announced_at_ = now;
        return whole;
    }

    std::mutex lock_;
    Group groups_[kGroups];
    Breaker breakers_[kEndpoints];
    long announced_ = 0;
    double announced_at_ = kNever;
    SharedRef known_[kEndpoints];
};

namespace {

// "请求过于频繁，暂停N秒".
bool announce_pause(long seconds) {
    Ref digits = Ref::steal(PyUnicode_FromFormat("%ld", seconds));
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

// Waits past 15 minutes from the unit's first refusal fail it.
bool within_budget(double next_try, PyObject* url) {
    if (tally.first == kNever || next_try - tally.first <= kRefusalBudget) return true;
    tally.spent = true;
    raise_refused(msg::kRefusedTooLong, tally.status, url);
    return false;
}

}  // namespace

PacedBatch::PacedBatch() : pacer_(new Pacer) {}
PacedBatch::~PacedBatch() = default;

RefusalClock::RefusalClock() noexcept {
    if (tally.depth++ > 0) return;
    tally = Tally();
    tally.depth = 1;
}

RefusalClock::~RefusalClock() {
    if (--tally.depth > 0) return;
    for (Ref& request : tally.pending) {
        Ref released = std::move(request);  // left alone on a thread the interpreter is ending
    }
}

void RefusalClock::succeeded() {
    if (tally.depth != 1 || tally.pacer == nullptr) return;
    for (int e = 0; e < kEndpoints; ++e) {
        if (tally.pending[e]) tally.pacer->remember(static_cast<Endpoint>(e), std::move(tally.pending[e]));
    }
}

bool refusals_spent() noexcept { return tally.spent; }

PacedRequest::PacedRequest(PyObject* url, PyObject* headers, PacedBatch& batch)
    : url_(url), headers_(headers), batch_(batch), endpoint_(endpoint_of(url)) {}

// A request that failed with an error has landed too.
PacedRequest::~PacedRequest() {
    Pacer& pacer = batch_.pacer();
    if (ticket_.in_flight) pacer.landed(endpoint_, ticket_, started_, started_, false);
    if (ticket_.wanting) pacer.want(endpoint_, ticket_, seen_, false);
}

// The endpoint's known request asked again by this request, which holds
// the probe: 1 when answered, 0 when refused (the endpoint pauses, for the
// longer of what its reply and `asked` name), -1 with an error set.
int PacedRequest::probe(PyObject* known, double asked) {
    Pacer& pacer = batch_.pacer();
    const Answer answer = ask_again(known);
    double now = 0;
    if (answer.status < 0 || !monotonic_now(now)) {
        pacer.release_probe(endpoint_, ticket_);
        return -1;
    }
    const bool served = answer.status > 0 && !is_refusal(answer.status);
    const long pause = pacer.probed(endpoint_, ticket_, now, served, std::max(asked, answer.retry_after));
    if (pause > 0 && !announce_pause(pause)) return -1;
    return served ? 1 : 0;
}

bool PacedRequest::admit() {
    Pacer& pacer = batch_.pacer();
    for (;;) {
        double now = 0;
        if (!monotonic_now(now)) return false;
        seen_ = now;
        Wait wait{tally.not_before - now, false, now < tally.wanting_until};
        if (wait.paced) wait.seconds = std::min(wait.seconds, tally.wanting_until - now);
        if (wait.seconds <= 0) wait = pacer.enter(endpoint_, now, ticket_);
        pacer.want(endpoint_, ticket_, now, wait.seconds <= 0 || wait.paced);
        if (wait.seconds <= 0) {
            started_ = now;
            if (!ticket_.prober) return true;
            Ref known = pacer.known(endpoint_);  // a pause comes only after one was asked
            if (known && probe(known.get(), -1) < 0) return false;
            if (!known) pacer.probed(endpoint_, ticket_, now, true, -1);
            continue;
        }
        if (batch_.stopped()) {
            if (endpoint_ != kDownload) {
                raise_batch_stopped();
                return false;
            }
            wait = {tally.refused_at + kFloor - now};
            if (wait.seconds <= 0) {
                started_ = now;
                return true;
            }
        } else if (!within_budget(now + wait.seconds, url_)) {
            return false;
        }
        if (!(wait.real ? wait_real(kAwaitProbe) : sleep_for(std::min(wait.seconds, kPiece)))) return false;
    }
}

// A refusal of the unit's that nothing served since tells apart: the
// endpoint's known request asked again, one unit at a time. Returns how the
// refusal stands, or -1 with an error set.
int PacedRequest::test(double asked) {
    Pacer& pacer = batch_.pacer();
    Ref known = pacer.known(endpoint_);
    if (!known) return Unseen;
    const int own = PyObject_RichCompareBool(PyTuple_GET_ITEM(known.get(), 0), url_, Py_EQ);
    if (own != 0) return own < 0 ? -1 : Unseen;
    for (bool wait = true; wait;) {
        const Whose whose = pacer.take_probe(endpoint_, ticket_, wait);
        if (whose != Unproven) return whose;
        if (wait && !wait_real(kAwaitProbe)) return -1;
    }
    const int served = probe(known.get(), asked);
    return served < 0 ? -1 : served ? Own : Shared;
}

PacedRequest::Verdict PacedRequest::judge(PyObject* reply) {
    Pacer& pacer = batch_.pacer();
    const long status = status_of(reply);
    if (status == kUnauthorized && endpoint_ != kDownload) {
        if (batch_.cookie_rejected(reply, url_)) {
            raise_request_error(kHTTPError, Ref::steal(PyUnicode_FromFormat(msg::kCookieRejected, url_)),
                                reply);
        }
        return Verdict::Fail;  // the batch halts: its halt is what main reports
    }
    double now = 0;
    if (!monotonic_now(now)) return Verdict::Fail;
    seen_ = now;
    pacer.landed(endpoint_, ticket_, started_, now, !is_refusal(status));
    if (!is_refusal(status)) {
        pacer.want(endpoint_, ticket_, now, false);
        tally.pacer = &pacer;
        if (headers_ != nullptr) {
            tally.pending[endpoint_] = Ref::steal(PyTuple_Pack(2, url_, headers_));
            if (!tally.pending[endpoint_]) PyErr_Clear();  // a known request less, nothing worse
        }
        return Verdict::Use;
    }
    const double asked = retry_after(reply);
    if (!close_reply(reply)) return Verdict::Fail;
    if (batch_.stopped()) {  // nothing is sent again once the batch stops
        raise_batch_stopped();
        return Verdict::Fail;
    }
    if (tally.first == kNever) tally.first = now;
    tally.status = status;
    tally.refused_at = now;
    const double floor = asked >= 0 ? std::max(asked, kFloor) : kFloor;
    int whose = pacer.refused(endpoint_, ticket_, started_, now, asked);
    if (whose == Unproven) whose = test(asked);
    switch (whose) {
    case Passing:
        tally.not_before = now + (asked >= 0 ? floor : pacer.spaced(endpoint_) ? 0 : kPassing);
        if (asked < 0) tally.wanting_until = now + pacer.gap(endpoint_, tally.not_before - now);
        return Verdict::Again;
    case AfterProbe:  // it goes when the service next answers, by its last replies' gap
        tally.wanting_until = now + pacer.gap(endpoint_, kMaxBackoff);
        tally.not_before = std::max(now + floor, tally.wanting_until);
        return Verdict::Again;
    case Late:
    case Shared:
        tally.not_before = now + floor;
        return Verdict::Again;
    case Own:
        tally.not_before = now + floor;
        raise_refused(msg::kRefusedAlone, status, url_, reply);
        return Verdict::Fail;
    case Unseen:
        tally.not_before = now + std::max(kUnseenWaits[std::min(tally.unseen++, 2)], floor);
        raise_refused(msg::kRefusedUnseen, status, url_, reply);
        return Verdict::Fail;
    default:
        return Verdict::Fail;
    }
}

}  // namespace fw::client
