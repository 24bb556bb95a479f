#include "capture/echo_stage.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "frame/framer.h"

namespace tavikrec {
namespace {

constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;
constexpr Ticks kFrameDuration = static_cast<Ticks>(kFrame) * kTicksPerSample;

Ticks duration_of(std::size_t samples) { return static_cast<Ticks>(samples) * kTicksPerSample; }

}  // namespace

EchoStage::EchoStage(std::shared_ptr<const EchoReference> reference, EchoCanceller canceller)
    : reference_(std::move(reference)),
      canceller_(std::move(canceller)),
      reference_device_from_(reference_->device_from()) {}

void EchoStage::take(const CapturedBlock& block, Ticks now) {
  if (block.samples.empty()) return;
  // A block within the timeline's tolerance of where the last one ended is
  // placed right after it; one beyond (a gap, a late stamp) or one that
  // opens a device begins a stretch of its own at its stamp.
  const bool afresh = block.opens_device || std::exchange(restart_, false);
  const bool follows = next_ && !afresh && std::abs(block.stamp - *next_) <= kStampTolerance;
  if (!follows || held_.empty()) {
    held_.push_back({follows ? *next_ : block.stamp, {}, {}, 0, afresh});
  }
  Stretch& stretch = held_.back();
  stretch.marks.push_back({stretch.samples.size(), block.stamp, block.opens_device, now});
  stretch.samples.insert(stretch.samples.end(), block.samples.begin(), block.samples.end());
  next_ = stretch.start + duration_of(stretch.samples.size());
}

Ticks EchoStage::due_at(const Stretch& stretch, std::size_t end, Ticks look_ahead) {
  const auto last = std::find_if(stretch.marks.rbegin(), stretch.marks.rend(),
                                 [end](const Mark& mark) { return mark.offset < end; });
  return last->taken_at + look_ahead + kReferenceWait;
}

std::span<const CapturedBlock> EchoStage::release(Ticks now, bool flush) {
  cleaned_.clear();
  cuts_.clear();
  std::array<std::int16_t, kFrame> play{}, out{};
  const bool lags = canceller_.latency() > 0;
  while (!held_.empty()) {
    Stretch& stretch = held_.front();
    const std::size_t begun = stretch.finished;
    const std::size_t cleaned_from = cleaned_.size();
    while (stretch.done < stretch.samples.size()) {
      const std::size_t count = std::min(stretch.samples.size() - stretch.done, kFrame);
      // A partial frame waits for the audio that completes it, unless none
      // will come into it (a stretch follows, or the run stops).
      if (count < kFrame && held_.size() == 1 && !flush) break;
      const Ticks at = stretch.start + duration_of(stretch.done);
      const Ticks due = due_at(stretch, stretch.done + count, reference_->look_ahead());
      hear(now, flush);
      // The filter needs the reference only up to where it has the echo
      // placed: a lag found frees the frame that much sooner.
      const Ticks placed_at = at - duration_of(estimator_.shift());
      if (!flush && now < due && !reference_->covers(placed_at, kFrame)) break;
      bool afresh = stretch.done == 0 && stretch.afresh;
      const Ticks device_from = reference_->device_from();
      if (device_from != reference_device_from_ && device_from < at + reference_->look_ahead() + kFrameDuration) {
        reference_device_from_ = device_from;
        afresh = true;
      }
      if (afresh) canceller_.reset();
      unheard_.push_back({at, due, afresh, {}});
      std::copy_n(stretch.samples.begin() + static_cast<std::ptrdiff_t>(stretch.done), count,
                  unheard_.back().rec.begin());
      reference_->read(placed_at, play);
      canceller_.run(unheard_.back().rec.data(), play.data(), out.data(), kFrame);
      // A canceller that lags a frame finishes the frame run before this
      // one, if that is still to be released; else it finished this one.
      if (!lags) stretch.done += count;
      finish(stretch, out);
      if (lags) stretch.done += count;
    }
    // The frame run last waits for the next one to finish it until its own
    // wait is over, or none will come: the stretch ended or the run stops.
    // It then goes as the filter left it, its residual echo unsuppressed.
    const bool ended = stretch.done == stretch.samples.size() && (held_.size() > 1 || flush);
    if (stretch.finished < stretch.done &&
        (ended || now >= due_at(stretch, stretch.done, reference_->look_ahead()))) {
      finish(stretch, canceller_.unfinished());
    }
    cut(stretch, begun, stretch.finished, cleaned_from);
    if (stretch.finished < stretch.samples.size()) break;
    held_.pop_front();
  }
  hear(now, flush);
  blocks_.clear();
  for (const Cut& c : cuts_) {
    blocks_.push_back({c.stamp, std::span<const std::int16_t>(cleaned_).subspan(c.first, c.count), c.opens_device});
  }
  return blocks_;
}

void EchoStage::hear(Ticks now, bool flush) {
  std::array<std::int16_t, kFrame> play{};
  while (!unheard_.empty()) {
    const Unheard& frame = unheard_.front();
    if (!flush && now < frame.due && !reference_->covers(frame.at, kFrame)) return;
    // The estimator goes on, open to a new lag: the reference's history it
    // keeps lets it find the new lag a third of a second into the new path
    // (bench/echo_switch).
    if (frame.afresh) estimator_.unsettle();
    reference_->read(frame.at, play);
    if (estimator_.take(frame.rec, play)) canceller_.reset();
    unheard_.pop_front();
  }
}

void EchoStage::finish(Stretch& stretch, std::span<const std::int16_t> out) {
  const std::size_t count = stretch.done - stretch.finished;
  cleaned_.insert(cleaned_.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count));
  stretch.finished = stretch.done;
}

void EchoStage::cut(const Stretch& stretch, std::size_t from, std::size_t to, std::size_t cleaned_from) {
  for (std::size_t i = 0; i < stretch.marks.size() && from < to; ++i) {
    const Mark& mark = stretch.marks[i];
    const std::size_t mark_end = i + 1 < stretch.marks.size() ? stretch.marks[i + 1].offset : stretch.samples.size();
    if (mark_end <= from) continue;
    const std::size_t until = std::min(mark_end, to);
    cuts_.push_back({mark.stamp + duration_of(from - mark.offset), cleaned_from, until - from,
                     mark.opens_device && from == mark.offset});
    cleaned_from += until - from;
    from = until;
  }
}

std::optional<Ticks> EchoStage::release_at() const {
  if (held_.empty()) return std::nullopt;
  const Stretch& stretch = held_.front();
  const Ticks look_ahead = reference_->look_ahead();
  std::optional<Ticks> at;
  if (stretch.finished < stretch.done) at = due_at(stretch, stretch.done, look_ahead);
  const std::size_t left = stretch.samples.size() - stretch.done;
  if (left >= kFrame || (left > 0 && held_.size() > 1)) {
    const Ticks next = due_at(stretch, stretch.done + std::min(left, kFrame), look_ahead);
    at = at ? std::min(*at, next) : next;
  }
  return at;
}

Ticks EchoStage::held_back() const {
  std::size_t held = 0;
  for (const Stretch& stretch : held_) held += stretch.samples.size() - stretch.finished;
  return duration_of(held);
}

}  // namespace tavikrec
