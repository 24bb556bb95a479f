#include "capture/echo_reference.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavikrec {
namespace {

constexpr std::array<std::int16_t, 3200> kSilence{};

std::size_t samples_of(Ticks duration) { return static_cast<std::size_t>(duration / kTicksPerSample); }

}  // namespace

EchoReference::EchoReference(Ticks epoch, Ticks look_ahead)
    : epoch_(epoch),
      look_ahead_(look_ahead),
      aligner_(samples_of(kKept), samples_of(look_ahead)),
      device_from_(epoch) {}

std::int64_t EchoReference::index_of(Ticks stamp) const {
  return static_cast<std::int64_t>(
      std::llround(static_cast<double>(stamp - epoch_) / static_cast<double>(kTicksPerSample)));
}

void EchoReference::placed(Ticks from, std::span<const std::int16_t> samples) {
  std::lock_guard lock(mutex_);
  aligner_.append(index_of(from), samples);
}

void EchoReference::placed_silence(Ticks from, Ticks count) {
  std::lock_guard lock(mutex_);
  std::int64_t at = index_of(from);
  for (Ticks left = count; left > 0;) {
    const auto chunk = static_cast<std::size_t>(std::min<Ticks>(left, kSilence.size()));
    aligner_.append(at, std::span(kSilence).first(chunk));
    at += static_cast<std::int64_t>(chunk);
    left -= static_cast<Ticks>(chunk);
  }
}

void EchoReference::device_opened(Ticks from) {
  std::lock_guard lock(mutex_);
  device_from_ = from;
}

Ticks EchoReference::device_from() const {
  std::lock_guard lock(mutex_);
  return device_from_;
}

void EchoReference::silent_until(Ticks until) {
  std::lock_guard lock(mutex_);
  aligner_.silent_until(index_of(until));
}

bool EchoReference::covers(Ticks from, std::size_t count) const {
  std::lock_guard lock(mutex_);
  return aligner_.covers(index_of(from), count);
}

void EchoReference::read(Ticks from, std::span<std::int16_t> out) const {
  std::lock_guard lock(mutex_);
  aligner_.read(index_of(from), out);
}

}  // namespace tavikrec
