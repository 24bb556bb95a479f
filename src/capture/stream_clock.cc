#include "capture/stream_clock.h"

#include <algorithm>
#include <cmath>
#include <utility>

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
  const bool bound = !bounds_.empty();
  old_.push_back({fresh_from_, bound ? origin_at_rate(bounds_.front()) : origin_at_rate(*arrival_bound_),
                  rate_share_, *settles_at()});
  fresh_from_ = position;
  bounds_.clear();
  arrival_edge_.clear();
  late_.reset();
  first_arrival_.reset();
  arrival_bound_.reset();
  drift_.restart();
  rate_ppm_.reset();
  rate_share_ = 0;
  relation_changed_ = true;
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
    // Audio of a relation before the reset, read after it: it bounds that
    // relation, as far as it reaches.
    const std::optional<std::size_t> index = old_relation(first);
    if (arrivals_bound() && index) {
      Relation& relation = old_[*index];
      const Ticks reach = std::min(end, *index + 1 < old_.size() ? old_[*index + 1].from : fresh_from_);
      relation.origin = std::min(relation.origin, at - reach + share_of(reach, relation.rate_share));
    }
    return;
  }
  expire(at);
  const std::optional<Ticks> origin = bounds_.empty()
                                          ? (arrival_bound_ ? std::optional(origin_at_rate(*arrival_bound_)) : std::nullopt)
                                          : origin_at_rate(bounds_.front());
  if (origin && at - end - *origin > kLongestStandstill) {
    reset(first, at);
  } else if (stood_still(at, first, end)) {
    start_after_standstill();
  }
  take_arrival({at, at - end, end});
}

void StreamClock::take_arrival(const Bound& arrival) {
  if (!first_arrival_) first_arrival_ = arrival.at;
  if (!arrival_bound_ || origin_at_rate(arrival) < origin_at_rate(*arrival_bound_)) arrival_bound_ = arrival;
  while (!arrival_edge_.empty() && arrival_edge_.back().origin >= arrival.origin) arrival_edge_.pop_back();
  arrival_edge_.push_back(arrival);
  drift_.observe_arrival(arrival.at, arrival.position);
  if (arrivals_bound()) add_bound(arrival);
}

bool StreamClock::stood_still(Ticks at, Ticks first, Ticks end) {
  while (arrival_edge_.size() > 1 && at - arrival_edge_.front().at > kWindow) arrival_edge_.pop_front();
  if (arrival_edge_.empty() || at - end - arrival_edge_.front().origin <= kShortestStandstill) {
    late_.reset();
    return false;
  }
  if (!late_) late_ = LateRun{at, first, end};
  return at - late_->at >= kStandstillProof;
}

void StreamClock::settle_standstill(Ticks now) {
  // Nothing arrived to tell otherwise: the source is standing still.
  if (late_ && now - late_->at >= kStandstillProof) start_after_standstill();
}

void StreamClock::start_after_standstill() {
  const LateRun late = *late_;
  reset(late.first, late.at);
  // The first late arrival is the new relation's first.
  take_arrival({late.at, late.at - late.end, late.end});
}

bool StreamClock::arrivals_bound() const { return !monitor_ || arrivals_bound_monitor_.value_or(false); }

bool StreamClock::knows(Ticks position, Ticks now) const {
  const std::optional<Ticks> at = known_at(position);
  return at && now >= *at;
}

std::optional<Ticks> StreamClock::known_at(Ticks position) const {
  if (const std::optional<std::size_t> index = old_relation(position)) return old_[*index].known_at;
  // Audio that may follow a standstill waits until that is decided: by
  // the arrivals, or by none coming for kStandstillProof.
  if (late_ && position >= late_->first) return late_->at + kStandstillProof;
  return settles_at();
}

std::optional<Ticks> StreamClock::settles_at() const {
  if (!first_arrival_) return std::nullopt;
  return *first_arrival_ + (bounds_.empty() ? kLongestWait : kSettleTime);
}

Ticks StreamClock::stamp(Ticks position, Ticks now) {
  if (const std::optional<std::size_t> index = old_relation(position)) {
    return old_[*index].origin + position - share_of(position, old_[*index].rate_share);
  }
  expire(now);
  follow_rate();
  if (!bounds_.empty()) {
    return origin_at_rate(bounds_.front()) + position - share_of(position, rate_share_);
  }
  if (arrival_bound_) return origin_at_rate(*arrival_bound_) + position - share_of(position, rate_share_);
  return (old_.empty() ? now - position : old_.back().origin) + position;
}

void StreamClock::forget_before(Ticks position) {
  while (!old_.empty() && (old_.size() > 1 ? old_[1].from : fresh_from_) <= position) old_.pop_front();
}

bool StreamClock::take_relation_change() { return std::exchange(relation_changed_, false); }

std::optional<std::size_t> StreamClock::old_relation(Ticks position) const {
  if (position >= fresh_from_ || old_.empty()) return std::nullopt;
  // The last that begins at or before it; audio older than every relation
  // kept follows the oldest.
  auto after = std::upper_bound(old_.begin(), old_.end(), position,
                                [](Ticks p, const Relation& relation) { return p < relation.from; });
  return after == old_.begin() ? 0 : static_cast<std::size_t>(after - old_.begin() - 1);
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
