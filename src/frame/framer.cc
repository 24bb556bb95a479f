#include "frame/framer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "frame/frame_format.h"

namespace tavikrec {
namespace {

constexpr std::array<std::int16_t, kFullFrameSamples> kSilentFrame{};

// The part of `block` captured at or after `from`; nothing when no sample
// of it is (so an empty block stamped before `from` gives nothing).
std::optional<CapturedBlock> captured_from(const CapturedBlock& block, Ticks from) {
  if (block.stamp >= from) return block;
  auto before = static_cast<std::size_t>((from - block.stamp + kTicksPerSample - 1) / kTicksPerSample);
  if (before >= block.samples.size()) return std::nullopt;
  return CapturedBlock{block.stamp + kTicksPerSample * static_cast<Ticks>(before), block.samples.subspan(before)};
}

}  // namespace

Framer::Framer(std::uint8_t tag, std::optional<Ticks> anchor)
    : tag_(tag), anchored_(anchor.has_value()), end_(anchor.value_or(0)) {}

std::optional<Ticks> Framer::timeline_end() const {
  if (!anchored_) return std::nullopt;
  return end_;
}

std::expected<Appended, ErrorText> Framer::append_block(const CapturedBlock& block, FrameSink& sink) {
  const bool first = !placed_first_block_;
  CapturedBlock placed = block;
  if (first) {
    // Samples captured before the run began are not part of it: written at
    // 0.0, they would overlap the frames that follow.
    std::optional<CapturedBlock> in_run = captured_from(block, sink.epoch());
    if (!in_run) return Appended{};
    placed = *in_run;
    placed_first_block_ = true;
    if (!anchored_) {
      anchored_ = true;
      end_ = placed.stamp;
    }
  }
  if (block.opens_device) placing_device_ = true;
  const bool opens_device = std::exchange(placing_device_, false);
  // Zeros already written for the stretch the block's stamp claims cannot
  // be taken back: what of it they cover goes, and the timeline stays on
  // the stamps rather than running ahead of them, so that no later block
  // looks late for what was in fact dropped.
  const bool into_silence =
      silence_padded_until_ && placed.stamp < *silence_padded_until_ && placed.stamp < end_;
  if (!first && (opens_device || into_silence)) {
    // What the timeline covers already came from the device before, or
    // was written as silence.
    std::optional<CapturedBlock> new_part = captured_from(placed, end_);
    if (!new_part) {
      placing_device_ = opens_device;
      return Appended{};
    }
    placed = *new_part;
  }
  // The tolerance absorbs the jitter of later stamps; the first block of a
  // run or of a device has none to absorb, and placed early it would keep
  // its channel early from then on.
  const Ticks fill_beyond = first || opens_device ? 0 : kStampTolerance;
  Ticks diff = placed.stamp - end_;
  Appended appended;
  if (diff > fill_beyond) {
    if (auto filled = append_zeros(diff / kTicksPerSample, sink); !filled) {
      keep(placed.samples);
      return std::unexpected(filled.error());
    }
  } else if (diff < -kStampTolerance && !warned_) {
    warned_ = true;
    appended.late_stamp_warning = late_stamp_warning(diff);
  }
  appended.timeline_error = placed.stamp - end_;
  if (tap_ && opens_device) tap_->device_opened(end_);
  keep(placed.samples);
  if (auto written = write_pending(false, sink); !written) return std::unexpected(written.error());
  return appended;
}

std::expected<void, ErrorText> Framer::drain(FrameSink& sink) { return write_pending(true, sink); }

bool Framer::note_handed_out(Ticks until, Ticks now) {
  handed_out_until_ = until;
  return silence_to_pad(now) > 0;
}

std::expected<void, ErrorText> Framer::fill_silence(Ticks now, FrameSink& sink) {
  const Ticks pad = silence_to_pad(now);
  if (pad == 0) return {};
  auto filled = append_zeros(pad, sink);
  if (!filled) return filled;
  return drain(sink);
}

Ticks Framer::silence_to_pad(Ticks now) const {
  if (!anchored_ || !handed_out_until_ || now < silence_held_until_) return 0;
  const Ticks target = std::min(now - kSilenceLag, *handed_out_until_);
  return std::max<Ticks>(target - end_, 0) / kTicksPerSample;
}

std::expected<void, ErrorText> Framer::append_zeros(Ticks count, FrameSink& sink) {
  // Up to the next frame boundary through pending, then whole silent frames.
  Ticks rest = count;
  Ticks to_boundary = static_cast<Ticks>(kFullFrameSamples - pending_.size() % kFullFrameSamples);
  Ticks topping = std::min(rest, to_boundary);
  keep(std::span(kSilentFrame).first(static_cast<std::size_t>(topping)));
  rest -= topping;
  std::expected<void, ErrorText> written = write_pending(false, sink);
  while (written && rest >= static_cast<Ticks>(kFullFrameSamples)) {
    written = sink.write_frame(tag_, end_, kSilentFrame);
    if (written) {
      if (tap_) tap_->placed_silence(end_, static_cast<Ticks>(kFullFrameSamples));
      end_ += kFullFrameDuration;
      rest -= static_cast<Ticks>(kFullFrameSamples);
    }
  }
  // What remains is under one frame, unless a write failed.
  if (tap_ && rest > 0) tap_->placed_silence(end_, rest);
  pending_.resize(pending_.size() + static_cast<std::size_t>(rest), 0);
  end_ += rest * kTicksPerSample;
  // Every zero counts, the silence filler's and a gap's alike.
  silence_padded_until_ = end_;
  return written;
}

void Framer::keep(std::span<const std::int16_t> samples) {
  if (tap_ && !samples.empty()) tap_->placed(end_, samples);
  pending_.insert(pending_.end(), samples.begin(), samples.end());
  end_ += kTicksPerSample * static_cast<Ticks>(samples.size());
}

std::expected<void, ErrorText> Framer::write_pending(bool short_last, FrameSink& sink) {
  std::size_t written = 0;
  std::expected<void, ErrorText> result;
  for (;;) {
    std::size_t count = std::min(pending_.size() - written, kFullFrameSamples);
    if (count == 0 || (count < kFullFrameSamples && !short_last)) break;
    Ticks stamp = end_ - kTicksPerSample * static_cast<Ticks>(pending_.size() - written);
    result = sink.write_frame(tag_, stamp, std::span(pending_).subspan(written, count));
    if (!result) break;
    written += count;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(written));
  return result;
}

std::string Framer::late_stamp_warning(Ticks diff) const {
  // Negated as a double, so no stamp can overflow it; nearbyint in the
  // default rounding mode takes an exact half to the even neighbour.
  double milliseconds = std::nearbyint(-static_cast<double>(diff) / static_cast<double>(kTicksPerMillisecond));
  return "channel " + std::to_string(tag_) + " delivered a stamp " +
         std::to_string(static_cast<long long>(milliseconds)) +
         " ms behind its own timeline; keeping the sample count as the authority";
}

SharedFramer make_shared_framer(std::uint8_t tag, std::optional<Ticks> anchor) {
  return std::make_shared<Poisonable<Framer>>("framer poisoned", tag, anchor);
}

}  // namespace tavikrec
