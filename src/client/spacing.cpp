#include "client/spacing.h"

#include <algorithm>
#include <cmath>

namespace fw::client {
namespace {

constexpr double kCut = 0.7, kKnee = 0.9, kKneeAtOnce = 0.75;
constexpr double kFastGrowth = 0.2, kSlowGrowth = 0.003, kProbeDoubling = 10.0, kMinRate = 0.5;
constexpr double kWindow = 1.0, kMinSpan = 0.1;  // the rate hit: starts of the last second

// 2 to the power elapsed / kProbeDoubling: whole doublings exact, linear in
// between. (The C library's exp2 carries a symbol version newer than the
// glibc the wheels are built for.)
double doubled(double elapsed) {
    const double steps = std::min(std::max(elapsed / kProbeDoubling, 0.0), 60.0);
    const double whole = std::floor(steps);
    return std::ldexp(1.0 + (steps - whole), static_cast<int>(whole));
}

}  // namespace

double Spacing::reserve(double now) {
    const double slot = std::max(now, next_slot_);
    if (rate_ > 0) next_slot_ = slot + 1 / rate_;
    return slot;
}

void Spacing::started(double now) {
    newest_ = (newest_ + 1) % kStarts;
    starts_[newest_] = now;
    kept_ = std::min(kept_ + 1, kStarts);
}

void Spacing::served(double started) {
    if (rate_ == 0) return;
    rate_ += rate_ < knee_ * ceiling_ ? kFastGrowth
                                      : std::min(kFastGrowth, kSlowGrowth * doubled(started - cut_at_));
}

void Spacing::hold_until(double time) { next_slot_ = std::max(next_slot_, time); }

bool Spacing::own_pace(double started) const {
    return rate_ == 0 && !(kept_ > 0 && starts_[newest_] > started);
}

void Spacing::cut(double now, bool settled) {
    knee_ = settled ? kKnee : rate_ > 0 ? kKneeAtOnce : 0;
    ceiling_ = rate_ > 0 ? rate_ : rate_hit(now);
    rate_ = std::max(kCut * ceiling_, kMinRate);
    cut_at_ = now;
}

// The highest rate over the trailing stretches of the last second.
double Spacing::rate_hit(double now) const {
    double best = 0;
    for (size_t i = 0; i < kept_; ++i) {
        const double start = starts_[(newest_ + kStarts - i) % kStarts];
        if (now - start > kWindow) break;
        if (i > 0) best = std::max(best, i / std::max(now - start, kMinSpan));
    }
    return best > 0 ? best : 1 / kWindow;
}

}  // namespace fw::client
