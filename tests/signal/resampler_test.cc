#include "signal/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <utility>
#include <vector>

namespace tavikrec {
namespace {

constexpr double kAmplitude = 12000;

// A tone of `period` input samples: what a converter must output anywhere.
double tone(double period, double position) {
  return kAmplitude * std::sin(2 * std::numbers::pi * position / period);
}
std::int16_t tone_sample(double period, std::int64_t index) {
  return static_cast<std::int16_t>(std::lround(tone(period, static_cast<double>(index))));
}

// Output samples, and where each call said its first one lies (in input
// samples from the stream's start).
struct Converted {
  std::vector<std::int16_t> samples;
  std::vector<std::pair<std::size_t, double>> calls;  // first sample, its position

  // Converts `in`, which begins `offset` samples into the stream.
  void convert(Resampler& resampler, std::span<const std::int16_t> in, std::int64_t offset) {
    const std::size_t first = samples.size();
    calls.emplace_back(first, static_cast<double>(offset) + resampler.convert(in, samples));
  }
  // Finishes a stream that ended `end` samples in.
  void finish(Resampler& resampler, std::int64_t end) {
    const std::size_t first = samples.size();
    calls.emplace_back(first, static_cast<double>(end) + resampler.finish(samples));
  }

  // Checks samples [from, to) against the tone, each placed evenly between
  // its call's position and the next call's: a sample more than `off`
  // samples out of place where the tone is steepest, or a click, fails.
  void expect_on_tone(double period, std::size_t from, std::size_t to, double off = 0.05) const {
    const double tolerance = kAmplitude * 2 * std::numbers::pi / period * off;
    auto call = std::ranges::partition_point(calls, [&](const auto& c) { return c.first <= from; }) - 1;
    for (std::size_t i = from; i < to; ++i) {
      while (i >= call[1].first) ++call;
      const double position = call->second + (call[1].second - call->second) *
                                                 static_cast<double>(i - call->first) /
                                                 static_cast<double>(call[1].first - call->first);
      ASSERT_NEAR(samples[i], tone(period, position), tolerance) << "output " << i << " at " << position;
    }
  }
};

TEST(Resampler, TakesOverFromUntouchedSamplesWithoutClickAndSaysWhereItsOutputLies) {
  const double period = 16000.0 / 440;
  // The hand-over at a crest of the tone, where a filter that lacks the
  // samples before it errs most.
  constexpr std::int64_t kPassed = 4009;
  Converted out;  // first what passed untouched, each sample where it lies
  for (std::int64_t i = 0; i < kPassed; ++i) {
    out.calls.emplace_back(out.samples.size(), static_cast<double>(i));
    out.samples.push_back(tone_sample(period, i));
  }
  Resampler resampler(out.samples);
  resampler.set_ppm(800);
  std::uint32_t seed = 7;
  std::vector<std::int16_t> block;
  std::int64_t taken = kPassed;
  for (; taken < 20000; taken += static_cast<std::int64_t>(block.size())) {
    seed = seed * 1664525u + 1013904223u;
    block.resize((seed >> 8) % 701);  // 0 to 700 samples in no pattern
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = tone_sample(period, taken + static_cast<std::int64_t>(i));
    out.convert(resampler, block, taken);
    if (taken == kPassed) {
      EXPECT_EQ(out.calls.back().second, static_cast<double>(kPassed)) << "the first output is the first input";
    }
  }
  // The calls that gave nothing place the samples around them too, and the
  // last of all, empty, ends the span of the one before.
  out.convert(resampler, {}, taken);
  out.expect_on_tone(period, kPassed - 100, out.samples.size());
}

TEST(Resampler, KeepsCountAndPositionOverALongRunOfChangingRatiosAndFinishesTheInput) {
  // Ten minutes in blocks of 40 ms: +1000 ppm, then a glide to -1000 ppm
  // across 20 s with a new ratio for every block, then -1000 ppm.
  constexpr std::int64_t kBlock = 640, kBlocks = 10 * 60 * 16000 / kBlock, kGlide = 500;
  auto ppm_of = [](std::int64_t b) {
    return 1000.0 - 2000.0 * std::clamp(static_cast<double>(b - kBlocks / 2) / kGlide, 0.0, 1.0);
  };
  std::vector<std::int16_t> block(kBlock);
  for (std::int64_t i = 0; i < kBlock; ++i) block[i] = tone_sample(40, i);  // whole periods

  Resampler resampler({});
  Converted out;
  double expected_count = 0;
  for (std::int64_t b = 0; b < kBlocks; ++b) {
    resampler.set_ppm(ppm_of(b));
    out.convert(resampler, block, b * kBlock);
    expected_count += kBlock / (1 + ppm_of(b) / 1e6);
    if (b == kBlocks / 2) {
      EXPECT_NEAR(out.calls.back().second, static_cast<double>(out.calls.back().first) * (1 + ppm_of(b) / 1e6), 0.1)
          << "after five minutes the outputs lie where steps of the size asked for put them";
    }
  }
  const std::size_t converted = out.samples.size();
  const double end = static_cast<double>(kBlocks * kBlock);
  const double step = 1 + ppm_of(kBlocks) / 1e6;
  out.finish(resampler, kBlocks * kBlock);
  EXPECT_NEAR(static_cast<double>(out.samples.size()), expected_count, 2);
  const double last = out.calls.back().second + static_cast<double>(out.samples.size() - 1 - converted) * step;
  EXPECT_LT(last, end) << "no output beyond the input";
  EXPECT_GE(last + step, end) << "all input covered";
  // Where the ratio changes at every block, and after ten minutes.
  out.expect_on_tone(40, out.calls[kBlocks / 2].first, out.calls[kBlocks / 2 + kGlide].first);
  out.expect_on_tone(40, converted - 16000, converted);
}

}  // namespace
}  // namespace tavikrec
