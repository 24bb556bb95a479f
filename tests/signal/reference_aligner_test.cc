#include "signal/reference_aligner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

namespace tavikrec {
namespace {

// Samples whose value is their own timeline index (mod 2^15), from `from` on.
std::vector<std::int16_t> indexed(std::int64_t from, std::size_t n) {
  std::vector<std::int16_t> samples(n);
  std::iota(samples.begin(), samples.end(), static_cast<std::int16_t>(from));
  return samples;
}

// What read() gives for microphone samples [from, from + n).
std::vector<std::int16_t> read(const ReferenceAligner& aligner, std::int64_t from, std::size_t n) {
  std::vector<std::int16_t> out(n, -1);
  aligner.read(from, out);
  return out;
}

// Expects `got` to be the indexed samples where `known` says so, zeros elsewhere.
void expect_reference(const std::vector<std::int16_t>& got, std::int64_t first, auto known) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::int64_t at = first + static_cast<std::int64_t>(i);
    ASSERT_EQ(got[i], known(at) ? static_cast<std::int16_t>(at) : 0) << "reference index " << at;
  }
}

TEST(ReferenceAligner, ReadsAheadOfTheMicrophoneAndCoversOnlyWhatIsKnown) {
  ReferenceAligner aligner(1000, 32);
  aligner.append(0, indexed(0, 200));
  expect_reference(read(aligner, 10, 50), 42, [](auto) { return true; });
  expect_reference(read(aligner, 150, 50), 182, [](std::int64_t at) { return at < 200; });
  EXPECT_TRUE(aligner.covers(100, 68));
  EXPECT_FALSE(aligner.covers(100, 69));

  // Silence known without samples: covered, read as zeros; appended samples stay.
  aligner.silent_until(400);
  aligner.silent_until(300);
  EXPECT_EQ(aligner.known_until(), 400);
  EXPECT_TRUE(aligner.covers(300, 68));
  expect_reference(read(aligner, 100, 200), 132, [](std::int64_t at) { return at < 200; });
}

TEST(ReferenceAligner, GapsAreZerosAndAnOverlapOverwritesWithoutTakingBackWhatIsKnown) {
  ReferenceAligner aligner(1000, 0);
  aligner.append(0, indexed(0, 100));
  aligner.append(150, indexed(150, 100));
  aligner.append(80, std::vector<std::int16_t>(40, 0));
  EXPECT_EQ(aligner.known_until(), 250);
  expect_reference(read(aligner, -10, 300), -10,
                   [](std::int64_t at) { return (at >= 0 && at < 80) || (at >= 150 && at < 250); });
}

TEST(ReferenceAligner, KeepsTheLastSamplesAcrossTheRingsEnd) {
  ReferenceAligner aligner(100, 0);
  std::int64_t end = 0;
  for (std::size_t n : {37, 37, 37, 250, 1, 99}) {
    aligner.append(end, indexed(end, n));
    end += static_cast<std::int64_t>(n);
    expect_reference(read(aligner, end - 150, 160), end - 150,
                     [&](std::int64_t at) { return at >= 0 && at >= end - 100 && at < end; });
  }
  // A jump past the whole ring leaves nothing of before it; a late overlap
  // reaches only what is still kept; known silence pushes samples out.
  aligner.append(end + 500, indexed(end + 500, 30));
  aligner.append(end + 400, indexed(end + 400, 60));
  expect_reference(read(aligner, end, 700), end, [&](std::int64_t at) {
    return (at >= end + 430 && at < end + 460) || (at >= end + 500 && at < end + 530);
  });
  aligner.silent_until(end + 560);
  expect_reference(read(aligner, end, 700), end, [&](std::int64_t at) { return at >= end + 500 && at < end + 530; });
}

TEST(ReferenceAligner, ClearForgetsEverythingAndStartsAfresh) {
  ReferenceAligner aligner(1000, 16);
  aligner.append(5000, indexed(5000, 500));
  aligner.clear();
  EXPECT_FALSE(aligner.covers(5000, 100));
  expect_reference(read(aligner, 4900, 700), 4916, [](auto) { return false; });
  expect_reference(read(aligner, -1016, 1000), -1000, [](auto) { return false; });  // before the epoch
  aligner.append(4800, indexed(4800, 100));
  EXPECT_EQ(aligner.known_until(), 4900);
  expect_reference(read(aligner, 4700, 300), 4716, [](std::int64_t at) { return at >= 4800 && at < 4900; });
}

}  // namespace
}  // namespace tavikrec
