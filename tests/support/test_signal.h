// Test signals at 16000 samples per second, mono s16: a sine to play into a
// sink, and the rough measures a test needs to recognise it in a recording.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavikrec::testing {

inline constexpr int kTestSampleRate = 16000;

// `count` samples of a sine of `frequency` Hz with peak `amplitude`.
std::vector<std::int16_t> sine_wave(double frequency, std::int16_t amplitude, std::size_t count);

// Root mean square level; 0 for no samples.
double rms_level(std::span<const std::int16_t> samples);

// Amplitude of the `frequency` Hz component (Goertzel): a sine of peak A
// at that frequency reads about A, other tones next to nothing; 0 for no
// samples.
double tone_level(std::span<const std::int16_t> samples, double frequency);

// Frequency estimated from sign changes: good to a few Hz for a clean sine
// of a second, meaningless for noise. 0 for fewer than two samples.
double zero_crossing_frequency(std::span<const std::int16_t> samples);

}  // namespace tavikrec::testing
