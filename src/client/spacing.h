// The pace of one host group (the API hosts; the download hosts), learned
// from delivery: unspaced until the service shows a limit, then every start
// of the group is spaced at 0.95 x the rate the service delivered when it
// began to refuse: the replies of the last second (at least the last ten,
// within five) per second that the group wanted the service since the reply
// before them (since its first request, when none is kept before them). The
// group wants it while a request of it is in flight, and after a unit's
// first refusal for as long as the group's last replies came apart (the
// whole wait before two were served): one request at a time is delivered
// at its latency's rate however low the limit, while the rest of that wait,
// the slots of the pace, the pauses after later refusals and a spell the
// batch held back (a folder's last file, a Retry-After) are the batch's
// own. A pace refused in its turn is cut to 0.8 x itself, or of the
// delivery when lower: a burst after a held spell overstates the limit.
// Every 25 s without a limit the pace probes 5 % higher; a limit met while
// a probe is on trial takes just that probe back.
#pragma once

#include <cstddef>
#include <limits>

namespace fw::client {

class Spacing {
public:
    // The start reserved for a request that may start at `now`: the next
    // one is spaced after it.
    double reserve(double now);
    // A unit of the group began or ended wanting the service.
    void want(double now);
    void unwant(double now);
    // A request of the group was served.
    void served(double now);
    // The service showed a limit at `now`.
    void limit(double now);
    bool spaced() const { return rate_ > 0; }
    // The mean time between the last replies served (up to ten), at most
    // `longest`, which it is while fewer than two are kept.
    double gap(double longest) const;

private:
    static constexpr size_t kReplies = 512;  // replies served, kept
    double busy(double now) const;
    double delivered(double now) const;

    double rate_ = 0;  // requests a second; 0: not spaced
    double tried_ = 0;  // the rate before the probe on trial; 0: none on trial
    double changed_at_ = 0;
    double next_slot_ = -std::numeric_limits<double>::infinity();
    int wanting_ = 0;                   // units wanting the service
    double busy_ = 0, busy_since_ = 0;  // seconds it was wanted, and since when
    struct Reply {
        double at, busy;
    } replies_[kReplies] = {};
    size_t newest_ = 0, kept_ = 0;
};

}  // namespace fw::client
