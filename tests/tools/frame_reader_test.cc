// The stream reader: accepts what the encoder writes, however it is split,
// and names the byte and the fault of every broken stream.
#include "stream_check/frame_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>

#include "frame/frame_encoder.h"
#include "stream_check/stream_summary.h"

namespace tavikrec {
namespace {

using Bytes = std::vector<std::byte>;

constexpr Ticks kEpoch = 50'000'000;

void append(Bytes& stream, const Bytes& frame) { stream.insert(stream.end(), frame.begin(), frame.end()); }

std::vector<std::int16_t> ramp(std::size_t count, int start) {
  std::vector<std::int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(start + static_cast<int>(i));
  return samples;
}

// mic: 3200 at 1.0 s, 1500 at 1.2 s; system: 640 at 0.0, 3200 at 0.04 s,
// interleaved.
Bytes sound_stream() {
  Bytes stream;
  append(stream, encode_frame(1, kEpoch, kEpoch, std::vector<std::int16_t>(640)));
  append(stream, encode_frame(0, kEpoch + 10'000'000, kEpoch, ramp(3200, -1600)));
  append(stream, encode_frame(1, kEpoch + 640 * 625, kEpoch, ramp(3200, 0)));
  append(stream, encode_frame(0, kEpoch + 12'000'000, kEpoch, ramp(1500, 20000)));
  return stream;
}

std::string error_of(const Bytes& stream) {
  auto checked = check_frame_stream(stream);
  return checked ? "accepted" : checked.error();
}

TEST(FrameReader, SummarisesWhatTheEncoderWrites) {
  auto summary = check_frame_stream(sound_stream());
  ASSERT_TRUE(summary) << summary.error();
  const ChannelSummary& mic = summary->mic();
  EXPECT_EQ(mic.frames, 2u);
  EXPECT_EQ(mic.samples, 4700u);
  EXPECT_EQ(mic.first_time, 1.0);
  EXPECT_DOUBLE_EQ(mic.span_seconds(), 4700.0 / 16000.0);
  EXPECT_EQ(mic.peak, 21499);
  auto expected_mic = ramp(3200, -1600);
  auto tail = ramp(1500, 20000);
  expected_mic.insert(expected_mic.end(), tail.begin(), tail.end());
  EXPECT_EQ(mic.kept_samples, expected_mic);
  const ChannelSummary& system = summary->system();
  EXPECT_EQ(system.frames, 2u);
  EXPECT_EQ(system.samples, 3840u);
  EXPECT_EQ(system.first_time, 0.0);
  EXPECT_EQ(system.peak, 3199);
}

TEST(FrameReader, RmsAndNegativePeak) {
  Bytes stream = encode_frame(0, 0, 0, std::vector<std::int16_t>{-32768, 0, 3, -3});
  auto summary = check_frame_stream(stream);
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_EQ(summary->mic().peak, 32768);
  EXPECT_DOUBLE_EQ(summary->mic().rms(), std::sqrt((32768.0 * 32768.0 + 18.0) / 4.0));
  EXPECT_EQ(summary->system().frames, 0u);
  EXPECT_EQ(summary->system().rms(), 0.0);
}

TEST(FrameReader, SplitAnywhereGivesTheSameFrames) {
  Bytes stream = sound_stream();
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{13}, std::size_t{4096}}) {
    FrameStreamReader reader;
    std::vector<std::uint64_t> offsets;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      auto piece = std::span(stream).subspan(at, std::min(chunk, stream.size() - at));
      ASSERT_TRUE(reader.feed(piece, [&](const ReadFrame& frame) { offsets.push_back(frame.offset); }));
    }
    EXPECT_TRUE(reader.finish());
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 1293, 7706, 14119})) << "chunk " << chunk;
  }
}

TEST(FrameReader, RejectsMalformedStreams) {
  const Bytes good = sound_stream();
  Bytes truncated(good.begin(), good.end() - 1);
  EXPECT_EQ(error_of(truncated), "byte 14119: the stream ends inside a frame, after 3012 of its 3013 bytes");
  Bytes cut_in_header(good.begin(), good.begin() + 1293 + 5);
  EXPECT_EQ(error_of(cut_in_header), "byte 1293: the stream ends inside a frame, after 5 of its at least 13 bytes");

  Bytes wrong_tag = good;
  wrong_tag[1293] = std::byte{2};
  EXPECT_EQ(error_of(wrong_tag), "byte 1293: channel tag 2 is neither 0 (mic) nor 1 (system)");

  Bytes zero_count = good;
  std::memset(&zero_count[1293 + 9], 0, 4);
  EXPECT_EQ(error_of(zero_count), "byte 1302: sample count 0 is outside 1 to 3200");
  Bytes too_many = good;
  too_many[1293 + 9] = std::byte{0x81};  // 3201 = 0x0c81
  EXPECT_EQ(error_of(too_many), "byte 1302: sample count 3201 is outside 1 to 3200");
}

TEST(FrameReader, RejectsTimesOffTheTimeline) {
  Bytes negative = encode_frame(1, 0, 0, std::vector<std::int16_t>(10));
  negative[8] = std::byte{0xbf};  // top byte of the time field: -2^-15
  EXPECT_EQ(error_of(negative), "byte 1: frame time -3.0517578125e-05 s is negative");
  Bytes not_a_number = negative;
  std::memset(&not_a_number[1], 0xff, 8);
  EXPECT_EQ(error_of(not_a_number), "byte 1: frame time is not a finite number");

  // A gap and an overlap of one sample each; a frame at 0.0 excuses neither
  // in its successor.
  Bytes gap = encode_frame(0, kEpoch + 10'000'000, kEpoch, ramp(3200, 0));
  append(gap, encode_frame(0, kEpoch + 12'000'625, kEpoch, ramp(10, 0)));
  EXPECT_EQ(error_of(gap), "byte 6414: mic frame starts at 1.2000625 s but the previous one ends at 1.2 s");
  Bytes overlap = encode_frame(1, kEpoch + 10'000'000, kEpoch, ramp(3200, 0));
  append(overlap, encode_frame(1, kEpoch + 11'999'375, kEpoch, ramp(10, 0)));
  EXPECT_EQ(error_of(overlap), "byte 6414: system frame starts at 1.1999375 s but the previous one ends at 1.2 s");
  Bytes late_after_zero = encode_frame(1, kEpoch, kEpoch, ramp(640, 0));
  append(late_after_zero, encode_frame(1, kEpoch + 400'625, kEpoch, ramp(10, 0)));
  EXPECT_EQ(error_of(late_after_zero), "byte 1294: system frame starts at 0.0400625 s but the previous one ends at 0.04 s");
  Bytes early_after_zero = encode_frame(0, kEpoch, kEpoch, ramp(3200, 0));
  append(early_after_zero, encode_frame(0, kEpoch + 1'000'000, kEpoch, ramp(10, 0)));
  EXPECT_EQ(error_of(early_after_zero), "byte 6414: mic frame starts at 0.1 s but the previous one ends at 0.2 s");
}

TEST(FrameReader, EmptyStreamIsSound) {
  auto summary = check_frame_stream({});
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->mic().frames + summary->system().frames, 0u);
  EXPECT_FALSE(summary->mic().first_time);
}

}  // namespace
}  // namespace tavikrec
