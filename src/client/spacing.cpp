#include "client/spacing.h"

#include <algorithm>

namespace fw::client {
namespace {

constexpr double kCut = 0.95, kCutAgain = 0.8, kMinRate = 0.1;
constexpr double kProbeEvery = 25.0, kProbeStep = 1.05;
// Delivery: the replies of the last second, at least ten, within five.
constexpr double kSpan = 1.0, kHorizon = 5.0, kMinBusy = 0.05;
constexpr size_t kMinReplies = 10;

}  // namespace

double Spacing::reserve(double now) {
    if (rate_ > 0 && now - changed_at_ >= kProbeEvery) {
        tried_ = rate_;
        rate_ *= kProbeStep;
        changed_at_ = now;
    }
    const double slot = std::max(now, next_slot_);
    if (rate_ > 0) next_slot_ = slot + 1 / rate_;
    return slot;
}

void Spacing::want(double now, bool wanting) {
    if (wanting && wanting_++ == 0) busy_since_ = now;
    if (!wanting && wanting_ > 0 && --wanting_ == 0) busy_ += now - busy_since_;
}

void Spacing::served(double now) {
    newest_ = (newest_ + 1) % kReplies;
    replies_[newest_] = {now, busy(now)};
    kept_ = std::min(kept_ + 1, kReplies);
}

double Spacing::busy(double now) const { return busy_ + (wanting_ > 0 ? now - busy_since_ : 0); }

double Spacing::gap(double longest) const {
    const size_t intervals = std::min(kept_, kMinReplies) - (kept_ > 0 ? 1 : 0);
    if (intervals == 0) return longest;
    const Reply& oldest = replies_[(newest_ + kReplies - intervals) % kReplies];
    return std::min((replies_[newest_].at - oldest.at) / static_cast<double>(intervals), longest);
}

void Spacing::limit(double now) {
    if (tried_ > 0) {
        rate_ = tried_;
    } else {
        const double delivered_now = delivered(now);
        rate_ = std::max(rate_ > 0 ? kCutAgain * std::min(rate_, delivered_now) : kCut * delivered_now, kMinRate);
    }
    tried_ = 0;
    changed_at_ = now;
}

// Replies served lately per second wanted, counted from the reply before
// the window (from the group's first request when none is kept before it).
double Spacing::delivered(double now) const {
    size_t count = 0;
    double since = 0;
    for (; count < kept_; ++count) {
        const Reply& reply = replies_[(newest_ + kReplies - count) % kReplies];
        const double age = now - reply.at;
        if (age > kHorizon || (age > kSpan && count >= kMinReplies)) {
            since = reply.busy;
            break;
        }
    }
    return static_cast<double>(count) / std::max(busy(now) - since, kMinBusy);
}

}  // namespace fw::client
