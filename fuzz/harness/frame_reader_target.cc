// FrameStreamReader: fed whole, a byte at a time or in random pieces, it
// reaches the same verdict and hands out the same frames; and that verdict
// is the one a plain walk over the frame layout gives: every accepted frame
// has a known tag, 1 to 3200 samples, a finite non-negative time that
// continues its channel, and the samples of the bytes it came from.
#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "frame/frame_format.h"
#include "fuzz_check.h"
#include "stream_check/frame_reader.h"
#include "targets.h"

namespace tavikrec::fuzz {
namespace {

struct SeenFrame {
  std::uint64_t offset;
  std::uint8_t tag;
  std::uint64_t time_bits;
  std::vector<std::int16_t> samples;
  bool operator==(const SeenFrame&) const = default;
};

struct Verdict {
  std::vector<SeenFrame> frames;
  std::optional<std::string> error;  // from feed
  bool finished = false;             // finish() succeeded
  bool operator==(const Verdict&) const = default;
};

template <class Piece>
Verdict read_stream(std::span<const std::uint8_t> data, Piece next_piece) {
  FrameStreamReader reader;
  Verdict verdict;
  auto on_frame = [&](const ReadFrame& f) {
    verdict.frames.push_back({f.offset, f.tag, std::bit_cast<std::uint64_t>(f.time),
                              std::vector<std::int16_t>(f.samples.begin(), f.samples.end())});
  };
  auto bytes = std::as_bytes(data);
  while (!bytes.empty()) {
    std::size_t take = std::min(bytes.size(), next_piece());
    if (auto fed = reader.feed(bytes.first(take), on_frame); !fed) {
      verdict.error = fed.error();
      return verdict;
    }
    bytes = bytes.subspan(take);
  }
  verdict.finished = reader.finish().has_value();
  return verdict;
}

template <class Unsigned>
Unsigned little_endian(std::span<const std::uint8_t> data, std::size_t at) {
  Unsigned value = 0;
  for (std::size_t i = sizeof(Unsigned); i-- > 0;) value = static_cast<Unsigned>((value << 8) | data[at + i]);
  return value;
}

// Walks the layout by hand. Returns the offset of the first frame whose
// header breaks the format, or nothing when every complete header is sound.
std::optional<std::size_t> first_bad_header(std::span<const std::uint8_t> data, std::size_t& sound_end) {
  std::optional<double> channel_ends[kChannelCount];
  std::size_t at = 0;
  while (at + kHeaderBytes <= data.size()) {
    std::uint8_t tag = data[at];
    auto count = little_endian<std::uint32_t>(data, at + kCountFieldOffset);
    double time = std::bit_cast<double>(little_endian<std::uint64_t>(data, at + kTimeFieldOffset));
    if (tag >= kChannelCount || count < 1 || count > kMaxFrameSamples) return at;
    if (!std::isfinite(time) || time < 0.0) return at;
    if (const auto& previous_end = channel_ends[tag]) {
      if (std::fabs(time - *previous_end) > kFrameTimeTolerance) return at;
    }
    channel_ends[tag] = time + count / static_cast<double>(kSampleRate);
    if (at + frame_bytes(count) > data.size()) break;
    at += frame_bytes(count);
    sound_end = at;
  }
  return std::nullopt;
}

void check_frames_against_bytes(std::span<const std::uint8_t> data, const std::vector<SeenFrame>& frames) {
  std::uint64_t next = 0;
  for (const SeenFrame& frame : frames) {
    require(frame.offset == next, "frame offsets are not contiguous");
    require(frame.tag == data[frame.offset], "frame tag differs from its byte");
    require(frame.time_bits == little_endian<std::uint64_t>(data, frame.offset + kTimeFieldOffset),
            "frame time differs from its bytes");
    require(frame.samples.size() == little_endian<std::uint32_t>(data, frame.offset + kCountFieldOffset),
            "sample count differs from its field");
    for (std::size_t i = 0; i < frame.samples.size(); ++i) {
      auto raw = little_endian<std::uint16_t>(data, frame.offset + kHeaderBytes + kBytesPerSample * i);
      require(frame.samples[i] == static_cast<std::int16_t>(raw), "sample differs from its bytes");
    }
    next = frame.offset + frame_bytes(frame.samples.size());
  }
}

// The byte number in "byte {n}: ...".
std::optional<std::uint64_t> error_byte(const std::string& error) {
  if (!error.starts_with("byte ")) return std::nullopt;
  std::size_t colon = error.find(": ");
  if (colon == std::string::npos || colon == 5) return std::nullopt;
  std::string digits = error.substr(5, colon - 5);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoull(digits);
}

}  // namespace

void fuzz_frame_reader(std::span<const std::uint8_t> data) {
  Verdict whole = read_stream(data, [&] { return data.size(); });
  Verdict bytewise = read_stream(data, [] { return std::size_t{1}; });
  SplitRandom random(data);
  Verdict pieces = read_stream(data, [&] { return random.next(2 * frame_bytes(kMaxFrameSamples)) + 1; });
  require(bytewise == whole, "feeding a byte at a time changed the verdict");
  require(pieces == whole, "feeding in pieces changed the verdict");

  check_frames_against_bytes(data, whole.frames);
  std::size_t sound_end = 0;
  std::optional<std::size_t> bad = first_bad_header(data, sound_end);
  std::size_t accepted_end =
      whole.frames.empty() ? 0 : whole.frames.back().offset + frame_bytes(whole.frames.back().samples.size());
  require(accepted_end == sound_end, "reader accepted other frames than the layout allows");
  require(whole.error.has_value() == bad.has_value(), "reader and layout disagree on a broken header");
  if (bad) {
    std::optional<std::uint64_t> at = error_byte(*whole.error);
    require(at && *at >= *bad && *at < *bad + kHeaderBytes, "error names a byte outside the broken header");
  } else {
    require(whole.finished == (sound_end == data.size()), "finish() disagrees with where the stream ends");
  }
}

}  // namespace tavikrec::fuzz
