#include "support/test_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tavikrec::testing {

std::vector<std::int16_t> sine_wave(double frequency, std::int16_t amplitude, std::size_t count) {
  std::vector<std::int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / kTestSampleRate;
    samples[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(phase)));
  }
  return samples;
}

double rms_level(std::span<const std::int16_t> samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (std::int16_t s : samples) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

double tone_level(std::span<const std::int16_t> samples, double frequency) {
  if (samples.empty()) return 0;
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / kTestSampleRate);
  double previous = 0, before_previous = 0;
  for (std::int16_t s : samples) {
    double current = s + coefficient * previous - before_previous;
    before_previous = previous;
    previous = current;
  }
  double power = previous * previous + before_previous * before_previous - coefficient * previous * before_previous;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

double zero_crossing_frequency(std::span<const std::int16_t> samples) {
  if (samples.size() < 2) return 0;
  std::size_t crossings = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  double seconds = static_cast<double>(samples.size()) / kTestSampleRate;
  return static_cast<double>(crossings) / 2 / seconds;
}

}  // namespace tavikrec::testing
