#include "capture/sample_assembler.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavikrec {
namespace {

std::vector<std::int16_t> feed(SampleAssembler& assembler, std::vector<std::uint8_t> bytes) {
  auto samples = assembler.assemble(bytes);
  return {samples.begin(), samples.end()};
}

TEST(SampleAssembler, PairsLittleEndianBytes) {
  SampleAssembler a;
  EXPECT_EQ(feed(a, {0x01, 0x02, 0xff, 0xff, 0x00, 0x80}), (std::vector<std::int16_t>{0x0201, -1, -32768}));
  EXPECT_FALSE(a.has_carry());
}

TEST(SampleAssembler, CarriesOddByteAcrossReads) {
  SampleAssembler a;
  EXPECT_EQ(feed(a, {0x01, 0x02, 0x03}), (std::vector<std::int16_t>{0x0201}));
  EXPECT_TRUE(a.has_carry());
  // The carried byte is the low half, the first new byte the high half.
  EXPECT_EQ(feed(a, {0x04, 0x05}), (std::vector<std::int16_t>{0x0403}));
  EXPECT_TRUE(a.has_carry());
  EXPECT_EQ(feed(a, {0x80}), (std::vector<std::int16_t>{static_cast<std::int16_t>(0x8005)}));
  EXPECT_FALSE(a.has_carry());
}

TEST(SampleAssembler, SingleByteGivesEmptyBlockAndWaits) {
  SampleAssembler a;
  EXPECT_TRUE(feed(a, {0x10}).empty());
  EXPECT_TRUE(feed(a, {}).empty());  // an empty read keeps the carry
  EXPECT_TRUE(a.has_carry());
  EXPECT_EQ(feed(a, {0x20}), (std::vector<std::int16_t>{0x2010}));
}

TEST(SampleAssembler, ManySplitsGiveTheSameSamplesAsOneRead) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 999; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 37));
  SampleAssembler whole;
  auto expected = feed(whole, bytes);
  SampleAssembler split;
  std::vector<std::int16_t> got;
  size_t pos = 0;
  for (size_t len = 1; pos < bytes.size(); len = len % 7 + 1) {
    size_t n = std::min(len, bytes.size() - pos);
    auto part = feed(split, {bytes.begin() + static_cast<long>(pos), bytes.begin() + static_cast<long>(pos + n)});
    got.insert(got.end(), part.begin(), part.end());
    pos += n;
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(split.has_carry(), whole.has_carry());
}

}  // namespace
}  // namespace tavikrec
