// Per-channel summaries of a frame stream, built on FrameStreamReader: what
// the inspector prints and what tests check a captured stream against.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "stream_check/frame_reader.h"

namespace tavikrec {

struct ChannelSummary {
  std::uint64_t frames = 0;
  std::uint64_t samples = 0;
  std::optional<double> first_time;  // of the channel's first frame
  int peak = 0;                      // largest magnitude, 0 to 32768
  double sum_of_squares = 0.0;
  std::vector<std::int16_t> kept_samples;  // every sample, when asked to keep them

  // The timeline's span in seconds, silence included.
  double span_seconds() const;
  double rms() const;

  void add(const ReadFrame& frame, bool keep_samples);
};

struct StreamSummary {
  std::array<ChannelSummary, kChannelCount> channels;  // indexed by tag

  const ChannelSummary& mic() const { return channels[kMicTag]; }
  const ChannelSummary& system() const { return channels[kSystemTag]; }
};

// Checks a whole stream held in memory; the error names the byte offset and
// what is wrong.
std::expected<StreamSummary, ErrorText> check_frame_stream(std::span<const std::byte> bytes,
                                                           bool keep_samples = true);

}  // namespace tavikrec
