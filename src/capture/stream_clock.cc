#include "capture/stream_clock.h"

#include <algorithm>
#include <cmath>

namespace tavikrec {
namespace {

// The part of `position` that a source running fast by `share` covers in
// less time than 16 kHz would.
Ticks share_of(Ticks position, double share) {
  return static_cast<Ticks>(std::llround(static_cast<double>(position) * share));
}

}  // namespace

void StreamClock::reset(Ticks position, Ticks now) {
  // Nothing arrived since the last reset: no relation to keep, and the next
  // one covers whatever audio lies between the two.
  if (!first_arrival_) return;
  expire(now);
  old_origin_ = bounds_.empty() ? *arrival_origin_ : origin_at_rate(bounds_.front());
  old_rate_share_ = bounds_.empty() ? 0 : rate_share_;
  old_known_at_ = *settles_at();
  fresh_from_ = position;
  bounds_.clear();
  first_arrival_.reset();
  arrival_origin_.reset();
  drift_.restart();
  rate_ppm_.reset();
  rate_share_ = 0;
}

void StreamClock::observe_head(Ticks at, Ticks position, bool plays_later) {
  if (monitor_) {
    const bool bound_before = arrivals_bound();
    arrivals_bound_monitor_ = arrivals_bound_monitor_.value_or(true) && !plays_later;
    // Arrival bounds taken before the server first reported a sink latency
    // are too tight by that latency.
    if (bound_before && !arrivals_bound()) bounds_.clear();
  }
  if (first_arrival_) add_bound({at, at - position, position});
}

void StreamClock::observe_arrival(Ticks at, Ticks first, Ticks end) {
  if (first < fresh_from_) {
    // Audio of the relation before the reset, read after it: it bounds that
    // relation, as far as it reaches.
    if (arrivals_bound() && old_origin_) {
      const Ticks reach = std::min(end, fresh_from_);
      old_origin_ = std::min(*old_origin_, at - reach + share_of(reach, old_rate_share_));
    }
    return;
  }
  expire(at);
  const std::optional<Ticks> origin = bounds_.empty() ? arrival_origin_ : bounds_.front().origin;
  if (origin && at - end - *origin > kLongestStandstill) reset(first, at);
  if (!first_arrival_) first_arrival_ = at;
  arrival_origin_ = std::min(arrival_origin_.value_or(at - end), at - end);
  drift_.observe_arrival(at, end);
  if (arrivals_bound()) add_bound({at, at - end, end});
}

bool StreamClock::arrivals_bound() const { return !monitor_ || arrivals_bound_monitor_.value_or(false); }

bool StreamClock::knows(Ticks position, Ticks now) const {
  const std::optional<Ticks> at = known_at(position);
  return at && now >= *at;
}

std::optional<Ticks> StreamClock::known_at(Ticks position) const {
  if (position < fresh_from_) return old_known_at_;
  return settles_at();
}

std::optional<Ticks> StreamClock::settles_at() const {
  if (!first_arrival_) return std::nullopt;
  return *first_arrival_ + (bounds_.empty() ? kLongestWait : kSettleTime);
}

Ticks StreamClock::stamp(Ticks position, Ticks now) {
  if (position < fresh_from_ && old_origin_) {
    return *old_origin_ + position - share_of(position, old_rate_share_);
  }
  expire(now);
  follow_rate();
  if (!bounds_.empty()) {
    return origin_at_rate(bounds_.front()) + position - share_of(position, rate_share_);
  }
  if (arrival_origin_) return *arrival_origin_ + position;
  return old_origin_.value_or(now - position) + position;
}

void StreamClock::add_bound(const Bound& bound) {
  expire(bound.at);
  const Ticks origin = origin_at_rate(bound);
  while (!bounds_.empty() && origin_at_rate(bounds_.back()) >= origin) bounds_.pop_back();
  // Observations may reach us slightly out of order; keeping the times
  // sorted keeps the front the oldest.
  Bound kept = bound;
  if (!bounds_.empty()) kept.at = std::max(kept.at, bounds_.back().at);
  bounds_.push_back(kept);
}

Ticks StreamClock::origin_at_rate(const Bound& bound) const {
  // At the source's rate the audio up to `position` took that share less
  // time than at 16 kHz.
  return bound.origin + share_of(bound.position, rate_share_);
}

void StreamClock::follow_rate() {
  const std::optional<double> ppm = drift_.source_ppm();
  if (ppm == rate_ppm_) return;
  rate_ppm_ = ppm;
  const double fast = ppm.value_or(0) * 1e-6;
  rate_share_ = fast / (1 + fast);
  // The bounds kept were the tightest at the old rate; they are sorted again.
  std::deque<Bound> kept;
  kept.swap(bounds_);
  for (const Bound& bound : kept) add_bound(bound);
}

void StreamClock::expire(Ticks now) {
  // The newest bound stays however old: a stream whose replies stopped keeps
  // its last relation rather than none.
  while (bounds_.size() > 1 && now - bounds_.front().at > kWindow) bounds_.pop_front();
}

}  // namespace tavikrec
