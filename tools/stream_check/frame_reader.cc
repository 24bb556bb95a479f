#include "stream_check/frame_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "base/little_endian.h"

namespace tavikrec {
namespace {

std::string seconds_text(double seconds) {
  std::array<char, 32> text{};
  auto result = std::to_chars(text.data(), text.data() + text.size(), seconds);
  return std::string(text.data(), result.ptr) + " s";
}

std::string channel_name(std::uint8_t tag) {
  return std::string(display_name(static_cast<SourceKind>(tag)));
}

}  // namespace

std::expected<void, ErrorText> FrameStreamReader::feed(std::span<const std::byte> bytes,
                                                       const FrameHandler& on_frame) {
  while (!bytes.empty()) {
    std::size_t goal = partial_.size() < kHeaderBytes ? kHeaderBytes : expected_frame_bytes();
    std::size_t take = std::min(goal - partial_.size(), bytes.size());
    partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (partial_.size() < goal) break;
    if (goal == kHeaderBytes) {
      if (auto header = check_header(); !header) return header;
    }
    if (partial_.size() == expected_frame_bytes()) emit_frame(on_frame);
  }
  return {};
}

std::expected<void, ErrorText> FrameStreamReader::finish() const {
  if (partial_.empty()) return {};
  std::size_t whole = partial_.size() < kHeaderBytes ? kHeaderBytes : expected_frame_bytes();
  return std::unexpected(at(0, "the stream ends inside a frame, after " + std::to_string(partial_.size()) + " of its " +
                                   (partial_.size() < kHeaderBytes ? "at least " : "") + std::to_string(whole) +
                                   " bytes"));
}

std::expected<void, ErrorText> FrameStreamReader::check_header() {
  auto tag = std::to_integer<std::uint8_t>(partial_[0]);
  if (tag >= kChannelCount) {
    return std::unexpected(at(0, "channel tag " + std::to_string(tag) + " is neither 0 (mic) nor 1 (system)"));
  }
  auto count = load_little_endian<std::uint32_t>(partial_.data() + kCountFieldOffset);
  if (count == 0 || count > kMaxFrameSamples) {
    return std::unexpected(at(kCountFieldOffset, "sample count " + std::to_string(count) + " is outside 1 to " +
                                                     std::to_string(kMaxFrameSamples)));
  }
  double time = std::bit_cast<double>(load_little_endian<std::uint64_t>(partial_.data() + kTimeFieldOffset));
  if (auto start = check_start(tag, time); !start) return start;
  channels_[tag] = {true, time, count};
  return {};
}

std::expected<void, ErrorText> FrameStreamReader::check_start(std::uint8_t tag, double time) const {
  if (!std::isfinite(time)) return std::unexpected(at(kTimeFieldOffset, "frame time is not a finite number"));
  if (time < 0.0) return std::unexpected(at(kTimeFieldOffset, "frame time " + seconds_text(time) + " is negative"));
  const ChannelEnd& previous = channels_[tag];
  if (!previous.seen) return {};
  double previous_end = previous.time + static_cast<double>(previous.samples) / kSampleRate;
  if (std::fabs(time - previous_end) <= kFrameTimeTolerance) return {};
  return std::unexpected(at(kTimeFieldOffset, channel_name(tag) + " frame starts at " + seconds_text(time) +
                                                  " but the previous one ends at " + seconds_text(previous_end)));
}

std::string FrameStreamReader::at(std::size_t field_offset, const std::string& what) const {
  return "byte " + std::to_string(frame_offset_ + field_offset) + ": " + what;
}

std::size_t FrameStreamReader::expected_frame_bytes() const {
  return frame_bytes(load_little_endian<std::uint32_t>(partial_.data() + kCountFieldOffset));
}

void FrameStreamReader::emit_frame(const FrameHandler& on_frame) {
  samples_.resize((partial_.size() - kHeaderBytes) / kBytesPerSample);
  const std::byte* in = partial_.data() + kHeaderBytes;
  for (std::int16_t& sample : samples_) {
    sample = static_cast<std::int16_t>(load_little_endian<std::uint16_t>(in));
    in += kBytesPerSample;
  }
  auto tag = std::to_integer<std::uint8_t>(partial_[0]);
  on_frame({frame_offset_, tag, channels_[tag].time, samples_});
  frame_offset_ += partial_.size();
  partial_.clear();
}

}  // namespace tavikrec
