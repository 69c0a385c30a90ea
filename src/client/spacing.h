// The pace of one host group's requests (the API hosts; the download hosts).
//
// Unspaced until the service shows a limit. A cut (the pacer makes at most
// one a pause) spaces the group's starts at 0.7 x the rate the service
// refused, its ceiling: the group's spacing when it was spaced, else the
// highest rate of its starts over any trailing stretch of the last second
// (at least 0.1 s long), the burst that met the limit. Each success then
// adds 0.2 requests/s below the knee (a cut is won back in about a second),
// above it 0.003, doubling every 10 s without a cut, so a limit that was
// lifted is found again. The knee is 0.9 x the ceiling when the group had
// been spaced for a second since the last pause (it met the limit from just
// above), 0.75 x when a spacing was refused sooner (the limit lies further
// below it); after a burst there is none: 0.7 x a burst may still be above
// the limit, and growing fast from there drives the batch back into it.
#pragma once

#include <cstddef>
#include <limits>

namespace fw::client {

class Spacing {
public:
    // The start reserved for a request that may start at `now`: the next
    // one is spaced after it.
    double reserve(double now);
    // A request started at `now`.
    void started(double now);
    // A request started at `started` was served.
    void served(double started);
    // No request starts before `time` (the end of a pause).
    void hold_until(double time);
    // The group set its own pace: not spaced, and no other request started
    // after the one started at `started` (one request after another).
    bool own_pace(double started) const;
    // The service refused the group's pace at `now`; `settled` when it had
    // been spaced for a second since the last pause.
    void cut(double now, bool settled);
    bool spaced() const { return rate_ > 0; }

private:
    static constexpr size_t kStarts = 128;  // request starts kept
    double rate_hit(double now) const;

    double rate_ = 0;     // requests a second; 0: not spaced
    double ceiling_ = 0;  // the rate last refused
    double knee_ = 0;     // below knee x ceiling the rate grows fast
    double cut_at_ = 0;
    double next_slot_ = -std::numeric_limits<double>::infinity();
    double starts_[kStarts] = {};
    size_t newest_ = 0, kept_ = 0;
};

}  // namespace fw::client
