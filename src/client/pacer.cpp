// The pacer's rates.
//
// Before any refusal nothing is spaced. A refusal that starts a pause cuts
// its group to 0.7 x the rate it just hit: the highest rate of the group's
// request starts over any trailing stretch of the last second (at least
// 0.1 s long), which is the burst that met the limit rather than an average
// that an earlier slow phase (the listing pages) pulls down. Only the first
// refusal after a pause cuts: requests already in flight when it began were
// sent at the old rate, so six workers refused together cut once.
//
// Each success then adds to the rate: 0.2 requests/s while below the knee
// (about 20 % a second, whatever the rate, as each success adds the same),
// 0.01 above it (1 % a second, doubling every 10 s without a refusal, so a
// limit that was lifted is found again). The knee is 0.9 x the rate hit when
// the group had been paced for a second since the last pause: it then met
// the limit from just above, and the cut is won back quickly. After an early
// refusal the rate hit was a burst well above the limit: no knee, slow growth
// only. On a limit of 60 requests/s this leaves one or two refusals after the
// first in a ten-second batch, each a pause of its own.
#include "client/pacer.h"

#include <algorithm>
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

constexpr double kCut = 0.7, kKnee = 0.9, kSettled = 1.0, kFastGrowth = 0.2, kSlowGrowth = 0.01,
                 kProbeDoubling = 10.0, kMinRate = 0.5;
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

struct Group {
    double rate = 0;  // requests a second; 0: not spaced
    double knee = 0;  // below it the rate grows fast
    double cut_at = 0;
    double next_slot = kNever;  // the earliest start of the next request
    double starts[kStarts] = {};
    size_t newest = 0, kept = 0;

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

    void cut(double now, double hit, bool settled) {
        rate = std::max(kCut * hit, kMinRate);
        knee = settled ? kKnee * hit : 0;
        cut_at = now;
    }

    void grow(double now) {
        if (rate == 0) return;
        rate += rate < knee ? kFastGrowth
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
    bool announce = false;
    double resume_at = 0;
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

    // A refusal of a request sent after pause `generation`. The first one
    // after a pause starts the next: the wait it asks for (`retry_after`, or
    // the backoff when negative) and a cut of its group.
    Refusal refused(int group, uint64_t generation, double now, double retry_after) {
        std::lock_guard<std::mutex> hold(lock_);
        State& s = state_;
        Refusal result;
        if (generation != s.generation) {  // in flight when the pause began
            if (retry_after > 0) s.resume_at = std::max(s.resume_at, now + retry_after);
            result.resume_at = s.resume_at;
            return result;
        }
        ++s.generation;
        Group& g = s.groups[group];
        const bool settled = g.rate > 0 && now - s.resume_at >= kSettled;
        double wait = retry_after;
        if (wait < 0) {
            wait = s.backoff;
            s.backoff = std::min(s.backoff * 2, kMaxBackoff);
        }
        s.resume_at = std::max(s.resume_at, now + wait);
        g.cut(now, g.rate_hit(now), settled);
        g.next_slot = s.resume_at;
        result.announce = now - s.announced_at >= kAnnounceEvery;
        if (result.announce) s.announced_at = now;
        result.resume_at = s.resume_at;
        return result;
    }

    void succeeded(int group, uint64_t generation, double started) {
        std::lock_guard<std::mutex> hold(lock_);
        if (generation == state_.generation) state_.backoff = kFirstBackoff;
        state_.groups[group].grow(started);
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

// This thread's refusals of its current unit of work.
struct Tally {
    int depth = 0;
    bool refused = false;
    double first = 0;
    bool spent = false;
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
        seconds = digits ? (size > 4 ? kMaxRetryAfter : std::atof(utf8)) : seconds_until_date(text.get());
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
    if (tally.depth++ == 0) tally = Tally{1};
}

RefusalClock::~RefusalClock() { --tally.depth; }

bool refusals_spent() noexcept { return tally.spent; }

PacedRequest::PacedRequest(PyObject* url, PacedBatch& batch)
    : url_(url), batch_(batch), group_(group_of(url)) {}

bool PacedRequest::admit() {
    for (;;) {
        if (!now_monotonic(started_)) return false;
        const double wait = pacer.reserve(group_, started_, reserved_, slot_, generation_);
        if (wait <= 0) return true;
        if (batch_.stopped()) {
            if (group_ == kDownloads) return true;  // its file is in progress: not held
            raise_request_error(kRequestException, Ref::steal(PyUnicode_FromString(msg::kBatchStopped)));
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
        raise_request_error(kRequestException, Ref::steal(PyUnicode_FromString(msg::kBatchStopped)));
        return Verdict::Fail;
    }
    const Refusal refusal = pacer.refused(group_, generation_, now, asked);
    reserved_ = false;
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
