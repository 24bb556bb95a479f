#include "stream_check/stream_summary.h"

#include <cmath>
#include <cstdlib>

namespace tavikrec {

double ChannelSummary::span_seconds() const { return static_cast<double>(samples) / kSampleRate; }

double ChannelSummary::rms() const {
  if (samples == 0) return 0.0;
  return std::sqrt(sum_of_squares / static_cast<double>(samples));
}

void ChannelSummary::add(const ReadFrame& frame, bool keep_samples) {
  if (!first_time) first_time = frame.time;
  ++frames;
  samples += frame.samples.size();
  for (std::int16_t sample : frame.samples) {
    int magnitude = std::abs(static_cast<int>(sample));
    if (magnitude > peak) peak = magnitude;
    sum_of_squares += static_cast<double>(magnitude) * magnitude;
  }
  if (keep_samples) kept_samples.insert(kept_samples.end(), frame.samples.begin(), frame.samples.end());
}

std::expected<StreamSummary, ErrorText> check_frame_stream(std::span<const std::byte> bytes, bool keep_samples) {
  StreamSummary summary;
  FrameStreamReader reader;
  auto fed = reader.feed(bytes, [&](const ReadFrame& frame) { summary.channels[frame.tag].add(frame, keep_samples); });
  if (!fed) return std::unexpected(fed.error());
  if (auto finished = reader.finish(); !finished) return std::unexpected(finished.error());
  return summary;
}

}  // namespace tavikrec
