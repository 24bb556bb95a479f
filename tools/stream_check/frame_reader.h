// Reads a frame stream back, the mirror of the encoder: parses bytes as they
// come in and checks every promise the format makes, so that parents' and
// our own tests can tell a sound stream from a broken one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "frame/frame_format.h"

namespace tavikrec {

// Within one channel each frame starts where the previous one ended, up to
// the rounding of binary64 times; one sample lasts 62.5 µs, far above this.
inline constexpr double kFrameTimeTolerance = 1e-6;

struct ReadFrame {
  std::uint64_t offset;  // of the frame's first byte in the stream
  std::uint8_t tag;
  double time;
  std::span<const std::int16_t> samples;  // valid only during the callback
};

using FrameHandler = std::function<void(const ReadFrame&)>;

class FrameStreamReader {
 public:
  // Parses the next bytes of the stream and calls on_frame for every frame
  // completed and found sound. The first violation returns
  // "byte {offset}: {what is wrong}"; after that the reader must not be fed
  // again.
  std::expected<void, ErrorText> feed(std::span<const std::byte> bytes, const FrameHandler& on_frame);

  // The stream has ended: fails when it ended inside a frame.
  std::expected<void, ErrorText> finish() const;

 private:
  struct ChannelEnd {
    bool seen = false;
    double time = 0.0;      // of the channel's last frame
    std::uint32_t samples = 0;  // of the channel's last frame
  };

  // REQUIRES: partial_ holds the frame's header.
  std::expected<void, ErrorText> check_header();
  std::expected<void, ErrorText> check_start(std::uint8_t tag, double time) const;
  std::string at(std::size_t field_offset, const std::string& what) const;
  std::size_t expected_frame_bytes() const;
  void emit_frame(const FrameHandler& on_frame);

  std::vector<std::byte> partial_;  // the frame in progress
  std::uint64_t frame_offset_ = 0;  // stream offset of partial_[0]
  std::array<ChannelEnd, kChannelCount> channels_{};
  std::vector<std::int16_t> samples_;  // decoding buffer, reused
};

}  // namespace tavikrec
