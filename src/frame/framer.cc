#include "frame/framer.h"

#include <algorithm>
#include <cmath>

#include "frame/frame_format.h"

namespace tavikrec {

Framer::Framer(std::uint8_t tag, std::optional<Ticks> anchor)
    : tag_(tag), anchored_(anchor.has_value()), end_(anchor.value_or(0)) {}

std::optional<Ticks> Framer::timeline_end() const {
  if (!anchored_) return std::nullopt;
  return end_;
}

std::expected<std::optional<std::string>, std::string> Framer::append_block(const CapturedBlock& block,
                                                                            FrameSink& sink) {
  if (!anchored_) {
    anchored_ = true;
    end_ = block.stamp;
  }
  Ticks diff = block.stamp - end_;
  std::optional<std::string> warning;
  if (diff > kStampTolerance) {
    append_zeros(diff / kTicksPerSample);
  } else if (diff < -kStampTolerance && !warned_) {
    warned_ = true;
    warning = late_stamp_warning(diff);
  }
  pending_.insert(pending_.end(), block.samples.begin(), block.samples.end());
  end_ += kTicksPerSample * static_cast<Ticks>(block.samples.size());

  while (pending_.size() >= kFullFrameSamples) {
    if (auto written = write_front(kFullFrameSamples, sink); !written) return std::unexpected(written.error());
  }
  return warning;
}

std::expected<void, std::string> Framer::drain(FrameSink& sink) {
  while (!pending_.empty()) {
    if (auto written = write_front(std::min(pending_.size(), kFullFrameSamples), sink); !written) return written;
  }
  return {};
}

std::expected<void, std::string> Framer::fill_silence(Ticks now, FrameSink& sink) {
  if (!anchored_ || now - end_ < kSilenceLag + kTicksPerSample) return {};
  append_zeros((now - end_ - kSilenceLag) / kTicksPerSample);
  return drain(sink);
}

void Framer::append_zeros(Ticks count) {
  pending_.resize(pending_.size() + static_cast<std::size_t>(count), 0);
  end_ += count * kTicksPerSample;
}

Ticks Framer::first_pending_stamp() const { return end_ - kTicksPerSample * static_cast<Ticks>(pending_.size()); }

std::expected<void, std::string> Framer::write_front(std::size_t count, FrameSink& sink) {
  auto written = sink.write_frame(tag_, first_pending_stamp(), std::span(pending_).first(count));
  if (written) pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
  return written;
}

std::string Framer::late_stamp_warning(Ticks diff) const {
  // Negated as a double, so no stamp can overflow it; nearbyint in the
  // default rounding mode takes an exact half to the even neighbour.
  double milliseconds = std::nearbyint(-static_cast<double>(diff) / 10'000.0);
  return "channel " + std::to_string(tag_) + " delivered a stamp " +
         std::to_string(static_cast<long long>(milliseconds)) +
         " ms behind its own timeline; keeping the sample count as the authority";
}

SharedFramer make_shared_framer(std::uint8_t tag, std::optional<Ticks> anchor) {
  return std::make_shared<Poisonable<Framer>>("framer poisoned", tag, anchor);
}

}  // namespace tavikrec
