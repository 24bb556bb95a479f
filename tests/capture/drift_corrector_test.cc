#include "capture/drift_corrector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/source_kind.h"
#include "base/units.h"
#include "frame/captured_block.h"

namespace tavikrec {
namespace {

// The corrector between the stamper and the channel: untouched blocks while
// nothing is engaged; converted ones whose stamps continue each other, with
// the look-ahead it holds counted; on stopping, the rest of the input.
TEST(DriftCorrector, PassesThroughUntilEngagedThenStampsWhatItConverts) {
  DriftCorrector corrector(SourceKind::Mic);
  std::vector<std::int16_t> samples(640);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 37 % 2000);
  const CapturedBlock block{1'000 * kTicksPerSecond, samples};
  std::span<const CapturedBlock> out = corrector.correct(block, std::nullopt, std::nullopt);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].samples.data(), samples.data()) << "not even copied";
  EXPECT_FALSE(corrector.take_notice());
  EXPECT_EQ(corrector.held_back(), 0);

  Ticks stamp = block.stamp + 640 * kTicksPerSample;
  Ticks next_out = stamp;
  std::size_t converted = 0;
  for (int i = 0; i < 50; ++i, stamp += 640 * kTicksPerSample) {
    out = corrector.correct({stamp, samples}, 800.0, 795.0);
    if (i == 0) {
      EXPECT_EQ(corrector.take_notice(), "mic clock runs 795 ppm fast; resampling to keep time");
    }
    for (const CapturedBlock& b : out) {
      EXPECT_NEAR(static_cast<double>(b.stamp - next_out), 0, kTicksPerSample / 10.0);
      // An output sample spans 1 + 800e-6 samples of the input, in time.
      next_out = b.stamp + std::llround(static_cast<double>(b.samples.size() * kTicksPerSample) * (1 + 800e-6));
      converted += b.samples.size();
    }
    EXPECT_NEAR(static_cast<double>(stamp + 640 * kTicksPerSample - corrector.held_back()),
                static_cast<double>(next_out), 2.0 * kTicksPerSample);
    EXPECT_GT(corrector.held_back(), 0);
  }
  // Stopping: the look-ahead goes out first, then the block as it came.
  out = corrector.correct({stamp, samples}, std::nullopt, std::nullopt);
  ASSERT_EQ(out.size(), 2u);
  converted += out[0].samples.size();
  EXPECT_EQ(out[1].samples.data(), samples.data());
  EXPECT_EQ(corrector.held_back(), 0);
  EXPECT_NEAR(static_cast<double>(converted), 50 * 640 / (1 + 800e-6), 2.0);
}

}  // namespace
}  // namespace tavikrec
