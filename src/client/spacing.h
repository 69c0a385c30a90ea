// The pace of one host group, learned from delivery: unspaced until the
// service shows a limit, then 0.95 x what it delivered: the replies of the
// last second (at least ten, within five) per second the group wanted the
// service. It wants it while a request is in flight, and after a unit's
// refusal for as long as its last replies came apart (one request at a time
// is otherwise delivered at its latency's rate however low the limit); the
// pace's slots, pauses and spells the batch held back are the batch's own.
// A pace refused in its turn is cut to 0.8 x itself or the delivery. Every
// 25 s without a limit it probes 5 % higher; a limit met on trial takes
// just that probe back.
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
    void want(double now, bool wanting);
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
