#include "capture/stream_clock.h"

#include <algorithm>

namespace tavikrec {

void StreamClock::reset(Ticks position, Ticks now) {
  if (settled(now)) {
    expire(now);
    old_origin_ = bounds_.front().origin;
    fresh_from_ = position;
  }
  bounds_.clear();
  first_arrival_.reset();
  arrival_origin_.reset();
}

void StreamClock::observe_head(Ticks at, Ticks position, bool plays_later) {
  if (monitor_) arrivals_bound_monitor_ = arrivals_bound_monitor_.value_or(true) && !plays_later;
  if (first_arrival_) add_bound(at, at - position);
}

void StreamClock::observe_arrival(Ticks at, Ticks first, Ticks end) {
  if (first < fresh_from_) return;  // audio from before the reset
  expire(at);
  const std::optional<Ticks> origin = bounds_.empty() ? arrival_origin_ : bounds_.front().origin;
  if (origin && at - end - *origin > kLongestStandstill) reset(first, at);
  if (!first_arrival_) first_arrival_ = at;
  arrival_origin_ = std::min(arrival_origin_.value_or(at - end), at - end);
  if (!monitor_ || arrivals_bound_monitor_.value_or(false)) add_bound(at, at - end);
}

bool StreamClock::knows(Ticks position, Ticks now) const {
  if (position < fresh_from_ && old_origin_) return true;
  return settled(now) || (first_arrival_ && now - *first_arrival_ >= kLongestWait);
}

bool StreamClock::settled(Ticks now) const {
  return first_arrival_ && !bounds_.empty() && now - *first_arrival_ >= kSettleTime;
}

std::optional<Ticks> StreamClock::settles_at() const {
  if (!first_arrival_) return std::nullopt;
  return *first_arrival_ + (bounds_.empty() ? kLongestWait : kSettleTime);
}

Ticks StreamClock::stamp(Ticks position, Ticks now) {
  if (position < fresh_from_ && old_origin_) return *old_origin_ + position;
  expire(now);
  if (!bounds_.empty()) return bounds_.front().origin + position;
  if (arrival_origin_) return *arrival_origin_ + position;
  return old_origin_.value_or(now - position) + position;
}

void StreamClock::add_bound(Ticks at, Ticks origin) {
  expire(at);
  while (!bounds_.empty() && bounds_.back().origin >= origin) bounds_.pop_back();
  // Observations may reach us slightly out of order; keeping the times
  // sorted keeps the front the oldest.
  if (!bounds_.empty()) at = std::max(at, bounds_.back().at);
  bounds_.push_back({at, origin});
}

void StreamClock::expire(Ticks now) {
  // The newest bound stays however old: a stream whose replies stopped keeps
  // its last relation rather than none.
  while (bounds_.size() > 1 && now - bounds_.front().at > kWindow) bounds_.pop_front();
}

}  // namespace tavikrec
