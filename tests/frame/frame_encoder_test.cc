// The bytes of a frame, pinned down exactly.
#include "frame/frame_encoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavikrec {
namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

TEST(FrameEncoder, GoldenBytes) {
  const std::int16_t samples[] = {1, -2, 0x1234, -32768, 32767};
  // 2,000,000 ticks after an epoch beyond 2^53: the difference must be taken
  // in integers before converting, or 0.2 would come out wrong.
  const Ticks epoch = (Ticks{1} << 53) + 1;
  EXPECT_EQ(encode_frame(1, epoch + 2'000'000, epoch, samples),
            bytes({0x01,                                            // tag
                   0x9a, 0x99, 0x99, 0x99, 0x99, 0x99, 0xc9, 0x3f,  // 0.2
                   0x05, 0x00, 0x00, 0x00,                          // n
                   0x01, 0x00, 0xfe, 0xff, 0x34, 0x12, 0x00, 0x80, 0xff, 0x7f}));
}

TEST(FrameEncoder, StampBeforeEpochIsWrittenAsZero) {
  const std::int16_t samples[] = {7};
  const auto expected = bytes({0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0x07, 0x00});
  EXPECT_EQ(encode_frame(0, 999, 1000, samples), expected);
  EXPECT_EQ(encode_frame(0, 1000, 1000, samples), expected);
  EXPECT_EQ(encode_frame(0, -5'000'000'000, 1000, samples), expected);
}

TEST(FrameEncoder, TimeIsTickDifferenceDividedInBinary64) {
  EXPECT_EQ(frame_time_seconds(10'000'000 + 625, 0), 10'000'625.0 / 1e7);
  EXPECT_EQ(frame_time_seconds(1, 0), 1e-7);
  EXPECT_EQ(encode_frame(0, 0, 0, std::vector<std::int16_t>(3200)).size(), 13u + 6400u);
}

}  // namespace
}  // namespace tavikrec
