// The pacer's judgement and rates.
//
// A refusal is one of three kinds (docs/robustness.md, "Throttling"):
// - the request's own: its unit of work (a file over its attempts) was
//   refused before in this group, the group served others since, and no
//   other unit was refused meanwhile. The service refuses this request, not
//   the client: the refusal fails the attempt and the retry policy decides.
// - a blip: the first refusal of a unit, with no Retry-After and no other
//   unit refused within a quiet spell. Only that request waits (the first
//   backoff); the others go on, and no rate changes.
// - shared: a Retry-After, a unit refused again while nothing else was
//   served, or evidence of a limit. The whole batch pauses.
// Evidence of a limit is a refusal of another unit than the group's last
// refused one, less than a quiet spell after that refusal or after the end
// of the pause: 3 s, or 10 s when both came with a Retry-After.
//
// Only evidence of a limit cuts a rate, once per pause, to 0.7 x the rate
// the service refused: the group's spacing when it was spaced, else the
// highest rate of its request starts over any trailing stretch of the last
// second (at least 0.1 s long), the burst that met the limit. That rate is
// the group's ceiling. A group that was not spaced and sent one request at a
// time (the listing pages, a folder's last file) is not cut: that pace is
// the client's own, and its pauses are what slows it.
//
// Each success then adds 0.2 requests/s below the knee (the rate grows by a
// fifth a second, whatever it is: a cut is won back in about a second), and
// above it 0.01, doubling every 10 s without a refusal, so a limit that was
// lifted is found again. The knee is 0.9 x the ceiling when the group had
// been spaced for a second since the last pause: it met the limit from just
// above. After a burst, or a spacing refused at once after a pause, the rate
// refused was well above the limit and 0.7 x it may still be above: no
// knee, slow growth only (a knee there drives the group back into the limit,
// and each time into a pause of the whole batch).
#include "module/python.h"

#include "client/pacer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>

#include "client/hosts.h"
#include "client/transport.h"
#include "module/console.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

constexpr double kCut = 0.7, kKnee = 0.9, kSettled = 1.0, kFastGrowth = 0.2,
                 kSlowGrowth = 0.01, kProbeDoubling = 10.0, kMinRate = 0.5;
constexpr double kQuiet = 3.0, kQuietRetryAfter = 10.0;  // a spell without refusals
constexpr double kWindow = 1.0, kMinSpan = 0.1;  // the rate hit: starts of the last second
constexpr double kFirstBackoff = 1.0, kMaxBackoff = 60.0, kMaxRetryAfter = 600.0;
constexpr double kAnnounceEvery = 10.0, kPiece = 0.25, kRefusalBudget = 900.0;
constexpr long kUnauthorized = 401, kTooManyRequests = 429, kUnavailable = 503;
constexpr int kApi = 0, kDownloads = 1, kGroups = 2;
constexpr size_t kStarts = 128;  // request starts kept per group
constexpr double kNever = -std::numeric_limits<double>::infinity();

const Text kMonotonic{"monotonic"}, kSleep{"sleep"}, kStatusCode{"status_code"},
    kRetryAfter{"Retry-After"}, kParsedateTz{"parsedate_tz"}, kMktimeTz{"mktime_tz"},
    kHTTPError{"HTTPError"}, kRequestException{"RequestException"}, kStrip{"strip"},
    kPauseHead{"请求过于频繁，暂停"}, kPauseTail{"秒"};

// One unit of work's refusals in one group (a field of the thread's tally).
struct Unit {
    int refusals = 0;
    uint64_t served_before = 0;   // the group's successes at its first refusal
    uint64_t refused_before = 0;  // the group's refusals, its first included
};

struct Group {
    double rate = 0;     // requests a second; 0: not spaced
    double ceiling = 0;  // the rate last refused
    double knee = 0;      // below knee x ceiling the rate grows fast
    double cut_at = 0;
    uint64_t cut_pause = 0;     // the pause of the last cut, plus one
    double next_slot = kNever;  // the earliest start of the next request
    double starts[kStarts] = {};
    size_t newest = 0, kept = 0;
    uint64_t served = 0, refused = 0;  // replies so far
    uint64_t last_unit = 0;            // the unit refused last, and when
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

    // Requests of the group started after `start`.
    size_t started_since(double start) const {
        size_t count = 0;
        while (count < kept && starts[(newest + kStarts - count) % kStarts] > start) ++count;
        return count;
    }

    // The rate refused: what the group was allowed when spaced (its own
    // slower pace is no measure of the limit), else the burst that met it.
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
};

struct Refusal {
    enum Kind { Own, Blip, Shared } kind = Shared;
    bool announce = false;
    double resume_at = 0;  // for a blip: this request's own
};

// The shared state. Its lock is held for arithmetic only, never while
// Python code runs.
class Pacer {
public:
    void reset() {
        std::lock_guard<std::mutex> hold(lock_);
        state_ = State();
    }

    // Seconds to wait before the request may start; 0: it starts now.
    double reserve(int group, double now, bool& reserved, double& slot, uint64_t& generation) {
        std::lock_guard<std::mutex> hold(lock_);
        Group& g = state_.groups[group];
        if (!reserved || slot < state_.resume_at) {  // none yet, or one before a later pause
            slot = std::max({now, state_.resume_at, g.next_slot});
            if (g.rate > 0) g.next_slot = slot + 1 / g.rate;
            reserved = true;
        }
        if (slot > now) return slot - now;
        generation = state_.generation;
        g.record(now);
        return 0;
    }

    // A refusal of a request of `unit` (numbered `id`) sent after pause
    // `generation`; `retry_after` negative when the reply names no wait.
    Refusal refused(int group, Unit& unit, uint64_t id, uint64_t generation, double started,
                    double now, double retry_after) {
        std::lock_guard<std::mutex> hold(lock_);
        State& s = state_;
        Group& g = s.groups[group];
        const bool again = unit.refusals > 0;
        const uint64_t others = again ? g.refused - unit.refused_before - (unit.refusals - 1) : 0;
        const bool served_since = g.served > unit.served_before;
        ++g.refused;
        if (!again) {
            unit.served_before = g.served;
            unit.refused_before = g.refused;
        }
        ++unit.refusals;
        Refusal result;
        if (again && served_since && others == 0) {
            result.kind = Refusal::Own;
            return result;
        }
        // Spaced for a while since the last pause: the rate met the limit
        // from just above. Else it was a burst, or a rate refused at once.
        const bool settled = g.rate > 0 && now - s.resume_at >= kSettled;
        const bool both_asked = retry_after >= 0 && g.last_retry_after;
        const bool limit = g.last_unit != id &&
                           now - std::max(g.last_refused, s.resume_at) <
                               (both_asked ? kQuietRetryAfter : kQuiet);
        g.last_unit = id;
        g.last_refused = now;
        g.last_retry_after = retry_after >= 0;
        if (!limit && retry_after < 0 && !again) {
            result.kind = Refusal::Blip;
            result.resume_at = now + kFirstBackoff;
            return result;
        }
        if (generation == s.generation) {  // the first refusal since the pause: the next one
            ++s.generation;
            double wait = retry_after;
            if (wait < 0) {
                wait = s.backoff;
                s.backoff = std::min(s.backoff * 2, kMaxBackoff);
            }
            s.resume_at = std::max(s.resume_at, now + wait);
            result.announce = now - s.announced_at >= kAnnounceEvery;
            if (result.announce) s.announced_at = now;
        } else if (retry_after > 0) {  // in flight when the pause began
            s.resume_at = std::max(s.resume_at, now + retry_after);
        }
        // One cut per pause, and none of a pace the client kept on its own
        // (one request after another: the listing, a folder's last file).
        const bool pushed = g.rate > 0 || g.started_since(started) > 0;
        if (limit && pushed && g.cut_pause != s.generation + 1) {
            g.cut(now, settled);
            g.cut_pause = s.generation + 1;
        }
        g.next_slot = std::max(g.next_slot, s.resume_at);
        result.resume_at = s.resume_at;
        return result;
    }

    void succeeded(int group, uint64_t generation, double started) {
        std::lock_guard<std::mutex> hold(lock_);
        if (generation == state_.generation) state_.backoff = kFirstBackoff;
        Group& g = state_.groups[group];
        ++g.served;
        g.grow(started);
    }

private:
    struct State {
        Group groups[kGroups];
        uint64_t generation = 0;  // pauses so far
        double resume_at = kNever;
        double backoff = kFirstBackoff;
        double announced_at = kNever;
    };
    std::mutex lock_;
    State state_;
};

Pacer& pacer = *new Pacer;  // never destroyed: workers may outlive static destructors
std::atomic<uint64_t> units{0};

// This thread's refusals of its current unit of work.
struct Tally {
    int depth = 0;
    uint64_t id = 0;
    bool refused = false;  // shared refusals, on the 15-minute clock
    double first = 0;
    bool spent = false;
    Unit groups[kGroups];
};
thread_local Tally tally;

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

// `url` is on `base` (a host's origin): the origin itself, or followed by a
// path, query or fragment.
bool on_host(const std::string& url, const char* base) {
    const std::string origin(base);
    if (url.compare(0, origin.size(), origin) != 0) return false;
    return url.size() == origin.size() || std::string("/?#").find(url[origin.size()]) != std::string::npos;
}

int group_of(PyObject* url) {
    if (!PyUnicode_Check(url)) return kDownloads;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(url, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a name unfit for UTF-8 is on none of the service's hosts
        return kDownloads;
    }
    const std::string text(utf8, static_cast<size_t>(size));
    return on_host(text, FW_API_BASE) || on_host(text, FW_APS_BASE) ? kApi : kDownloads;
}

// The reply's status; 0 for a reply without a number there (a test double).
long status_of(PyObject* reply) {
    Ref status = Ref::steal(PyObject_GetAttr(reply, kStatusCode));
    const long value = status && PyLong_Check(status.get()) ? PyLong_AsLong(status.get()) : 0;
    if (PyErr_Occurred()) PyErr_Clear();
    return value == -1 ? 0 : value;
}

// Seconds from now to an HTTP date; negative when the text is none.
double seconds_until_date(PyObject* text) {
    Ref utils = Ref::steal(PyImport_ImportModule("email.utils"));
    Ref parsed = utils ? call_method(utils.get(), kParsedateTz, {text}) : Ref();
    if (!parsed || parsed.get() == Py_None) return -1;
    Ref stamp = call_method(utils.get(), kMktimeTz, {parsed.get()});
    Ref now = stamp ? call_global_attr(names::time, names::time) : Ref();
    Ref left = now ? Ref::steal(PyNumber_Subtract(stamp.get(), now.get())) : Ref();
    const double seconds = left ? PyFloat_AsDouble(left.get()) : -1;
    return seconds < 0 ? 0 : seconds;  // a date already past: no wait
}

// Whole seconds written as digits, leading zeros and all; at most 10 minutes.
double whole_seconds(const char* digits, Py_ssize_t size) {
    double seconds = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        seconds = std::min(seconds * 10 + (digits[i] - '0'), kMaxRetryAfter);
    }
    return seconds;
}

// The wait a refused reply asks for, at most 10 minutes; negative when it
// names none (or none that reads). Errors while reading it are passed over.
double retry_after(PyObject* reply) {
    Ref headers = Ref::steal(PyObject_GetAttr(reply, names::headers));
    Ref value = headers ? call_method(headers.get(), names::get, {kRetryAfter}) : Ref();
    Ref text = value && PyUnicode_Check(value.get()) ? call_method(value.get(), kStrip)
                                                     : Ref();
    double seconds = -1;
    if (text) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        const bool digits = utf8 != nullptr && size > 0 &&
                            std::all_of(utf8, utf8 + size, [](char c) { return c >= '0' && c <= '9'; });
        seconds = digits ? whole_seconds(utf8, size) : seconds_until_date(text.get());
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        seconds = -1;
    }
    return std::min(seconds, kMaxRetryAfter);
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

bool close_reply(PyObject* reply) {
    if (call_method(reply, names::close) || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return !PyErr_Occurred();
    }
    PyErr_Clear();  // a reply that cannot be closed costs only its connection
    return true;
}


}  // namespace

void reset_pacer() noexcept { pacer.reset(); }

RefusalClock::RefusalClock() noexcept {
    if (tally.depth++ > 0) return;
    tally = Tally();
    tally.depth = 1;
    tally.id = ++units;
}

RefusalClock::~RefusalClock() { --tally.depth; }

bool refusals_spent() noexcept { return tally.spent; }

PacedRequest::PacedRequest(PyObject* url, PacedBatch& batch)
    : url_(url), batch_(batch), group_(group_of(url)), own_pause_end_(kNever) {}

bool PacedRequest::admit() {
    for (;;) {
        if (!now_monotonic(started_)) return false;
        const double wait = started_ < own_pause_end_
                                ? own_pause_end_ - started_
                                : pacer.reserve(group_, started_, reserved_, slot_, generation_);
        if (wait <= 0) return true;
        if (batch_.stopped()) {
            if (group_ == kDownloads) return true;  // its file is in progress: not held
            raise_batch_stopped();
            return false;
        }
        if (!sleep_for(std::min(wait, kPiece))) return false;
    }
}

PacedRequest::Verdict PacedRequest::judge(PyObject* reply) {
    const long status = status_of(reply);
    if (status == kUnauthorized && group_ == kApi) {
        if (batch_.cookie_rejected(reply, url_)) {
            raise_request_error(kHTTPError, Ref::steal(PyUnicode_FromFormat(msg::kCookieRejected, url_)),
                                reply);
        }
        return Verdict::Fail;
    }
    if (status != kTooManyRequests && status != kUnavailable) {
        pacer.succeeded(group_, generation_, started_);
        return Verdict::Use;
    }
    const double asked = retry_after(reply);
    double now = 0;
    if (!close_reply(reply) || !now_monotonic(now)) return Verdict::Fail;
    if (batch_.stopped()) {  // nothing is sent again once the batch stops
        raise_batch_stopped();
        return Verdict::Fail;
    }
    const Refusal refusal =
        pacer.refused(group_, tally.groups[group_], tally.id, generation_, started_, now, asked);
    reserved_ = false;
    if (refusal.kind == Refusal::Own) {  // one of the unit's attempts, failed
        raise_request_error(
            kHTTPError, Ref::steal(PyUnicode_FromFormat(msg::kRefusedAlone, status, url_)), reply);
        return Verdict::Fail;
    }
    if (refusal.kind == Refusal::Blip) {
        own_pause_end_ = refusal.resume_at;
        return Verdict::Again;
    }
    if (!tally.refused) {
        tally.refused = true;
        tally.first = now;
    }
    if (refusal.resume_at - tally.first > kRefusalBudget) {
        tally.spent = true;
        raise_request_error(
            kHTTPError, Ref::steal(PyUnicode_FromFormat(msg::kRefusedTooLong, status, url_)), reply);
        return Verdict::Fail;
    }
    if (refusal.announce && !announce_pause(refusal.resume_at - now)) return Verdict::Fail;
    return Verdict::Again;
}

}  // namespace fw::client
