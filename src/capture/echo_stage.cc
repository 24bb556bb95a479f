#include "capture/echo_stage.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

namespace tavikrec {
namespace {

constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;
constexpr Ticks kFrameDuration = static_cast<Ticks>(kFrame) * kTicksPerSample;
// Stamps closer than this to where the held audio ends continue it; a jump
// (a gap, a new relation) starts a stretch of its own.
constexpr Ticks kContinues = kTicksPerMillisecond;

}  // namespace

EchoStage::EchoStage(std::shared_ptr<const EchoReference> reference, EchoCanceller canceller)
    : reference_(std::move(reference)), canceller_(std::move(canceller)) {}

void EchoStage::take(const CapturedBlock& block) {
  if (block.samples.empty()) return;
  if (!held_.empty() && !block.opens_device) {
    Stretch& last = held_.back();
    const Ticks end = last.stamp + static_cast<Ticks>(last.samples.size()) * kTicksPerSample;
    if (std::abs(block.stamp - end) < kContinues) {
      last.samples.insert(last.samples.end(), block.samples.begin(), block.samples.end());
      return;
    }
  }
  held_.push_back({block.stamp, {block.samples.begin(), block.samples.end()}, block.opens_device});
}

Ticks EchoStage::due_at(Ticks stamp) const {
  return stamp + kFrameDuration + reference_->look_ahead() + kReferenceWait;
}

std::span<const CapturedBlock> EchoStage::release(Ticks now, bool flush) {
  cleaned_.clear();
  struct Made {
    Ticks stamp;
    std::size_t first, count;
    bool opens_device;
  };
  std::vector<Made> made;
  std::array<std::int16_t, kFrame> rec{}, play{}, out{};
  while (!held_.empty()) {
    Stretch& stretch = held_.front();
    const std::size_t left = stretch.samples.size() - stretch.done;
    if (left == 0) {
      held_.pop_front();
      continue;
    }
    const std::size_t count = std::min(left, kFrame);
    // A partial frame waits for the audio that completes it, unless none
    // will come into it (a stretch follows, or the run stops).
    if (count < kFrame && held_.size() == 1 && !flush) break;
    const Ticks stamp = stretch.stamp + static_cast<Ticks>(stretch.done) * kTicksPerSample;
    if (!flush && now < due_at(stamp) && !reference_->covers(stamp, kFrame)) break;
    rec.fill(0);
    std::copy_n(stretch.samples.begin() + static_cast<std::ptrdiff_t>(stretch.done), count, rec.begin());
    reference_->read(stamp, play);
    canceller_.run(rec.data(), play.data(), out.data(), kFrame);
    const bool opens = stretch.opens_device && stretch.done == 0;
    if (made.empty() || opens || made.back().stamp + static_cast<Ticks>(made.back().count) * kTicksPerSample != stamp) {
      made.push_back({stamp, cleaned_.size(), 0, opens});
    }
    cleaned_.insert(cleaned_.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count));
    made.back().count += count;
    stretch.done += count;
  }
  blocks_.clear();
  for (const Made& m : made) {
    blocks_.push_back({m.stamp, std::span<const std::int16_t>(cleaned_).subspan(m.first, m.count), m.opens_device});
  }
  return blocks_;
}

std::optional<Ticks> EchoStage::release_at() const {
  if (held_.empty()) return std::nullopt;
  const Stretch& stretch = held_.front();
  if (stretch.samples.size() - stretch.done < kFrame && held_.size() == 1) return std::nullopt;
  return due_at(stretch.stamp + static_cast<Ticks>(stretch.done) * kTicksPerSample);
}

Ticks EchoStage::held_back() const {
  Ticks held = 0;
  for (const Stretch& stretch : held_) held += static_cast<Ticks>(stretch.samples.size() - stretch.done);
  return held * kTicksPerSample;
}

}  // namespace tavikrec
