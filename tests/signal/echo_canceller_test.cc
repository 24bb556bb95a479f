#include "signal/echo_canceller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <vector>

#include "base/internal_error.h"
#include "signal/echo_delay_estimator.h"
#include "signal/reference_aligner.h"

namespace tavikrec {
namespace {

constexpr std::size_t kSecond = 16'000;

// Speech-like: a pulse train at a gliding pitch and a breath of noise,
// differentiated as the glottis's flow is (nothing near DC, which a
// microphone does not pass either), through two moving formant resonances,
// five syllables a second with pauses between them; peaks near 12,000. A canceller learns it more slowly than white
// noise, as it does real speech. Another voice: another pitch, its first
// formant centred elsewhere, its syllables at another pace.
struct Voice {
  double pitch, formant = 500, syllables = 2.5;
};
std::vector<std::int16_t> speech_like(std::size_t n, Voice voice) {
  const double pitch = voice.pitch;
  std::vector<double> wave(n);
  double phase = 1, last_source = 0, y1 = 0, y2 = 0, z1 = 0, z2 = 0, peak = 1;
  std::uint64_t seed = 99;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kSecond;
    phase += pitch * (1 + 0.3 * std::sin(2 * std::numbers::pi * 0.7 * t)) / kSecond;
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    const double breath = 0.05 * (static_cast<double>(seed >> 11) / 4503599627370496.0 - 1);
    const double pulse = phase >= 1 ? 1.0 : 0.0;
    const double glottis = pulse + breath - last_source;
    last_source = pulse + breath;
    phase -= std::floor(phase);
    const auto resonate = [](double in, double freq, double& a, double& b) {
      const double out = in + 2 * 0.97 * std::cos(2 * std::numbers::pi * freq / kSecond) * a - 0.97 * 0.97 * b;
      b = a;
      return a = out;
    };
    const double f1 = voice.formant + 250 * std::sin(2 * std::numbers::pi * 1.3 * t);
    const double voiced = resonate(glottis, f1, y1, y2) + 0.5 * resonate(glottis, 3 * f1 + 700, z1, z2);
    const double syllable = std::max(0.0, std::sin(2 * std::numbers::pi * voice.syllables * t));
    wave[i] = voiced * syllable;
    peak = std::max(peak, std::abs(wave[i]));
  }
  std::vector<std::int16_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int16_t>(std::lround(wave[i] / peak * 12'000));
  return out;
}

struct Reflection {
  std::int64_t delay;  // samples; negative: ahead of the far end
  double gain;
};

// What reaches the microphone of `far` over a room of `path`.
std::vector<std::int16_t> echo_of(std::span<const std::int16_t> far, std::span<const Reflection> path) {
  std::vector<std::int16_t> echo(far.size());
  for (std::size_t i = 0; i < far.size(); ++i) {
    double sum = 0;
    for (const Reflection& r : path) {
      const std::int64_t at = static_cast<std::int64_t>(i) - r.delay;
      if (at >= 0 && at < static_cast<std::int64_t>(far.size())) sum += r.gain * far[static_cast<std::size_t>(at)];
    }
    echo[i] = static_cast<std::int16_t>(std::lround(sum));
  }
  return echo;
}

// 20 ms behind the far end at -3 dB, and two weaker reflections.
constexpr Reflection kRoom[] = {{320, 0.708}, {560, 0.25}, {880, 0.1}};

// How many dB quieter `out` is than `in` over samples [from, to).
double removed_db(std::span<const std::int16_t> in, std::span<const std::int16_t> out, std::size_t from,
                  std::size_t to) {
  double in_energy = 1e-9, out_energy = 1e-9;
  for (std::size_t i = from; i < to; ++i) {
    in_energy += static_cast<double>(in[i]) * in[i];
    out_energy += static_cast<double>(out[i]) * out[i];
  }
  return 10 * std::log10(in_energy / out_energy);
}

// Runs `canceller` over samples [from, to) of rec and play into out.
void run(EchoCanceller& canceller, std::span<const std::int16_t> rec, std::span<const std::int16_t> play,
         std::vector<std::int16_t>& out, std::size_t from, std::size_t to) {
  out.resize(rec.size());
  canceller.run(rec.data() + from, play.data() + from, out.data() + from, to - from);
}

// The near end's gain in `out` over [from, to): the least-squares fit of
// out onto near, in dB.
double near_gain_db(std::span<const std::int16_t> near, std::span<const std::int16_t> out, std::size_t from,
                    std::size_t to) {
  double cross = 0, energy = 1e-9;
  for (std::size_t i = from; i < to; ++i) {
    cross += static_cast<double>(near[i]) * out[i];
    energy += static_cast<double>(near[i]) * near[i];
  }
  return 20 * std::log10(cross / energy);
}

// The far end talks alone for 20 s, then the near end alone for 5 (neither
// stripped nor thinned: a canceller left at speexdsp's default of 8 kHz
// loses 1.2 dB of it), then both for 5. The suppressor takes the filter's
// residual down a further 10 dB and leaves the near end be, at a frame's
// latency; its output is compared where it lies.
TEST(EchoCanceller, RemovesAnEchoPathOnceLearntAndPassesTheNearEndAtItsLevel) {
  const std::vector<std::int16_t> far = speech_like(30 * kSecond, {140});
  const std::vector<std::int16_t> echo = echo_of(far, kRoom);
  const std::vector<std::int16_t> near = speech_like(30 * kSecond, {210, 800, 3.1});
  std::vector<std::int16_t> mic = echo, play = far;
  std::fill(play.begin() + 20 * kSecond, play.begin() + 25 * kSecond, 0);
  for (std::size_t i = 20 * kSecond; i < mic.size(); ++i) {
    mic[i] = static_cast<std::int16_t>((i < 25 * kSecond ? 0 : echo[i]) + near[i]);
  }
  double filtered_db = 0;
  for (const auto residual : {EchoCanceller::Residual::kLeft, EchoCanceller::Residual::kSuppressed}) {
    EchoCanceller canceller = *EchoCanceller::create(1024, residual);
    std::vector<std::int16_t> out;
    run(canceller, mic, play, out, 0, mic.size());
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(canceller.latency()));
    const double removed = removed_db(mic, out, 15 * kSecond, 20 * kSecond);
    EXPECT_NEAR(removed_db(mic, out, 20 * kSecond + kSecond / 2, 25 * kSecond), 0, 0.5);
    EXPECT_NEAR(near_gain_db(near, out, 25 * kSecond + kSecond / 2, 30 * kSecond - kSecond / 10), 0, 1);
    if (residual == EchoCanceller::Residual::kLeft) {
      EXPECT_EQ(canceller.latency(), 0u);
      EXPECT_GE(filtered_db = removed, 30);
    } else {
      EXPECT_EQ(canceller.latency(), EchoCanceller::kFrameSamples);
      EXPECT_GE(removed, filtered_db + 10);
    }
  }
}

TEST(EchoCanceller, ResetForgetsThePathLearnt) {
  const std::vector<std::int16_t> far = speech_like(16 * kSecond, {140});
  const std::vector<std::int16_t> mic = echo_of(far, kRoom);
  std::vector<std::int16_t> out;
  EchoCanceller canceller = *EchoCanceller::create(1024);
  run(canceller, mic, far, out, 0, 15 * kSecond);
  canceller.reset();
  run(canceller, mic, far, out, 15 * kSecond, 16 * kSecond);
  EXPECT_LT(removed_db(mic, out, 15 * kSecond, 16 * kSecond), removed_db(mic, out, 14 * kSecond, 15 * kSecond) - 15);
}

TEST(EchoCanceller, RefusesAFilterOfNothingAndPartsOfFrames) {
  EXPECT_FALSE(EchoCanceller::create(0));
  EchoCanceller canceller = *EchoCanceller::create(1024);
  std::vector<std::int16_t> samples(EchoCanceller::kFrameSamples + 1), out(samples.size());
  EXPECT_THROW(canceller.run(samples.data(), samples.data(), out.data(), samples.size()), InternalError);
}

// The echo lies 6 ms ahead of its reference's stamp: the filter sees it
// behind the reference only when the reference is read ahead.
TEST(EchoCanceller, ReadAheadThroughTheAlignerAnEchoBeforeItsStampIsRemoved) {
  constexpr Reflection kEarly[] = {{-96, 0.708}, {144, 0.25}, {464, 0.1}};
  const std::vector<std::int16_t> far = speech_like(20 * kSecond, {140});
  const std::vector<std::int16_t> mic = echo_of(far, kEarly);
  for (std::size_t look_ahead : {320, 0}) {
    ReferenceAligner aligner(kSecond, look_ahead);
    EchoCanceller canceller = *EchoCanceller::create(1024);
    std::vector<std::int16_t> out(mic.size()), reference(EchoCanceller::kFrameSamples);
    std::size_t played = 0;  // the reference arrives in 40 ms blocks
    for (std::size_t at = 0; at < mic.size(); at += reference.size()) {
      for (; !aligner.covers(static_cast<std::int64_t>(at), reference.size()) && played < far.size(); played += 640) {
        aligner.append(static_cast<std::int64_t>(played), std::span(far).subspan(played, 640));
      }
      aligner.read(static_cast<std::int64_t>(at), reference);
      canceller.run(mic.data() + at, reference.data(), out.data() + at, reference.size());
    }
    const double removed = removed_db(mic, out, 15 * kSecond, 20 * kSecond);
    if (look_ahead > 0) EXPECT_GE(removed, 30);
    else EXPECT_LT(removed, 10);
  }
}

}  // namespace
}  // namespace tavikrec

namespace tavikrec {
namespace {

// When `estimator`, fed `mic` against `far` a frame at a time from sample
// `from`, first reports `lag` (within 2 ms): the sample, or nothing.
std::optional<std::size_t> found_at(EchoDelayEstimator& estimator, std::span<const std::int16_t> mic,
                                    std::span<const std::int16_t> far, std::size_t from, std::size_t to,
                                    std::size_t lag) {
  constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;
  std::optional<std::size_t> found;
  for (std::size_t at = from; at + kFrame <= to; at += kFrame) {
    estimator.take(mic.subspan(at, kFrame), far.subspan(at, kFrame));
    const std::optional<std::size_t> now = estimator.lag();
    const bool right = now && *now + 32 >= lag && *now <= lag + 32;
    if (right && !found) found = at;
    if (!right) found.reset();
  }
  return found;
}

// The rig's path 150 ms late, as the canceller sees it (30 ms further behind
// its reference): found within 0.75 s of far-end speech (two looks), and when it
// moves to 3 ms, found there within 2 s (a second of looks must agree), or
// within 0.75 s when told the path may have changed. A steady tone or a silent far end
// tells no lag.
TEST(EchoDelayEstimator, FindsTheEchosLagSoonAfterTheFarEndSpeaksAndFollowsItsMoves) {
  const std::vector<std::int16_t> far = speech_like(12 * kSecond, {140});
  constexpr Reflection kLate[] = {{2880, 0.708}, {2992, 0.25}, {3184, 0.1}};
  constexpr Reflection kEarly[] = {{528, 0.708}, {640, 0.25}, {832, 0.1}};
  const std::vector<std::int16_t> late = echo_of(far, kLate), early = echo_of(far, kEarly);
  std::vector<std::int16_t> mic(late.begin(), late.begin() + 6 * kSecond);
  mic.insert(mic.end(), early.begin() + 6 * kSecond, early.end());
  EchoDelayEstimator estimator(4096);
  EXPECT_LE(found_at(estimator, mic, far, 0, 6 * kSecond, 2880).value_or(6 * kSecond), kSecond * 3 / 4);
  EXPECT_LE(found_at(estimator, mic, far, 6 * kSecond, 12 * kSecond, 528).value_or(12 * kSecond),
            6 * kSecond + 2 * kSecond);
  // Told the path may have changed (another device), it takes the new lag
  // once most of its window is the new path's.
  EchoDelayEstimator told(4096);
  found_at(told, mic, far, 0, 6 * kSecond, 2880);
  told.unsettle();
  EXPECT_LE(found_at(told, mic, far, 6 * kSecond, 12 * kSecond, 528).value_or(12 * kSecond),
            6 * kSecond + kSecond * 3 / 4);

  for (const bool tone : {true, false}) {
    std::vector<std::int16_t> steady(4 * kSecond);
    for (std::size_t i = 0; tone && i < steady.size(); ++i) {
      steady[i] = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / kSecond)));
    }
    EchoDelayEstimator quiet(4096);
    const std::vector<std::int16_t> heard = echo_of(steady, kLate);
    EXPECT_EQ(found_at(quiet, heard, steady, 0, steady.size(), 2880), std::nullopt);
    EXPECT_EQ(quiet.lag(), std::nullopt);
  }
}

}  // namespace
}  // namespace tavikrec
