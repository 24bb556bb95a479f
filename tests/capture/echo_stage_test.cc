// The microphone's way through the echo canceller, with a controlled clock:
// what waits for the output's reference, for how long, and that stamps stay.
#include "capture/echo_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace tavikrec {
namespace {

constexpr Ticks kEpoch = 1'000 * kTicksPerSecond;
constexpr Ticks kMs = kTicksPerMillisecond;

std::vector<std::int16_t> tone(std::size_t count, double frequency, double amplitude, std::size_t from = 0) {
  std::vector<std::int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(from + i) / 16000;
    samples[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * frequency * t)));
  }
  return samples;
}

// The amplitude of `frequency` in `samples` (a whole number of its periods
// or many of them).
double amplitude_at(std::span<const std::int16_t> samples, double frequency) {
  double re = 0, im = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000;
    re += samples[i] * std::cos(phase);
    im += samples[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(samples.size());
}

double rms(std::span<const std::int16_t> samples) {
  double sum = 0;
  for (std::int16_t s : samples) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

std::vector<std::int16_t> take_all(EchoStage& stage, Ticks now, bool flush, std::vector<Ticks>* stamps = nullptr) {
  std::vector<std::int16_t> out;
  for (const CapturedBlock& block : stage.release(now, flush)) {
    if (stamps) stamps->push_back(block.stamp);
    out.insert(out.end(), block.samples.begin(), block.samples.end());
  }
  return out;
}

class EchoStageTest : public ::testing::Test {
 protected:
  EchoStage stage() { return EchoStage(reference_, *EchoCanceller::create(EchoStage::kFilterSamples)); }
  std::shared_ptr<EchoReference> reference_ = std::make_shared<EchoReference>(kEpoch, EchoStage::kLookAhead);
};

// A frame waits for its reference, and only until the look-ahead and one
// fragment after its audio came: an output that never delivers (a stalled
// server) never stalls the channel. The wait counts from the audio's
// arrival, not its stamp: a microphone that delivers 35 ms after its stamps
// does not cut its frames' wait short. Stamps stay, and with no echo the
// voice passes.
TEST_F(EchoStageTest, WaitsForTheReferenceAtMostAFragmentPastTheLookAheadAfterTheAudioCameAndKeepsTheStamps) {
  EchoStage echo = stage();
  const std::vector<std::int16_t> voice = tone(640, 300, 8000);
  const Ticks stamp = kEpoch + 1'000 * kMs + 123;
  const Ticks first_came = stamp + 20 * kMs + 35 * kMs, second_came = first_came + 20 * kMs;
  const Ticks wait = EchoStage::kLookAhead + EchoStage::kReferenceWait;
  echo.take({stamp, std::span(voice).first(320)}, first_came);
  echo.take({stamp + 20 * kMs, std::span(voice).last(320)}, second_came);
  EXPECT_TRUE(take_all(echo, first_came + wait - 1, false).empty()) << "released before its reference came";
  EXPECT_EQ(echo.release_at(), first_came + wait) << "when the first block's frames stop waiting";
  EXPECT_GT(echo.held_back(), 0);
  std::vector<Ticks> stamps;
  std::vector<std::int16_t> out = take_all(echo, first_came + wait, false, &stamps);
  ASSERT_EQ(out.size(), 320u) << "the first block alone is overdue";
  EXPECT_EQ(stamps, std::vector<Ticks>{stamp});
  EXPECT_EQ(echo.release_at(), second_came + wait);
  std::vector<std::int16_t> rest = take_all(echo, second_came + wait, false, &stamps);
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out.size(), 640u);
  EXPECT_EQ(stamps.back(), stamp + 20 * kMs);
  EXPECT_NEAR(rms(std::span(out).last(480)), rms(std::span(voice).last(480)), rms(voice) * 0.06);
  EXPECT_EQ(echo.release_at(), std::nullopt);
  EXPECT_EQ(echo.held_back(), 0);
}

// The output known silent (its stream handed out everything and played
// nothing) is a reference at once. The canceller's output lags a frame: the
// last whole frame waits for the next to finish it only as long as it may
// wait for its reference, and a partial frame waits for the audio that
// completes it, unless the run stops. A click lands on its own sample
// either way.
TEST_F(EchoStageTest, ASilentOutputIsAReferenceAtOnceAndTheStopTakesThePartialFrame) {
  EchoStage echo = stage();
  const Ticks stamp = kEpoch + 500 * kMs, came = stamp + 45 * kMs;
  const Ticks wait = EchoStage::kLookAhead + EchoStage::kReferenceWait;
  reference_->silent_until(stamp + 200 * kMs);
  std::vector<std::int16_t> voice(700);
  voice[200] = voice[500] = 20000;
  echo.take({stamp, voice}, came);
  std::vector<std::int16_t> out = take_all(echo, came, false);
  EXPECT_EQ(out.size(), 480u) << "the last whole frame waits for the next";
  EXPECT_EQ(echo.release_at(), came + wait);
  std::vector<std::int16_t> rest = take_all(echo, came + wait, false);
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out.size(), 640u);
  EXPECT_EQ(echo.release_at(), std::nullopt) << "a partial frame waits for audio";
  EXPECT_EQ(take_all(echo, came + wait, true).size(), 60u);
  for (const std::size_t click : {200, 500}) {
    EXPECT_EQ(std::max_element(out.begin() + static_cast<std::ptrdiff_t>(click) - 100,
                               out.begin() + static_cast<std::ptrdiff_t>(click) + 100) - out.begin(),
              static_cast<std::ptrdiff_t>(click));
    EXPECT_GT(out[click], 16000);
  }
}

// Noise in bursts, as syllables come: 8,000 at its peaks, on for 60-140 ms,
// off for as long.
std::vector<std::int16_t> bursts(std::size_t count) {
  std::vector<std::int16_t> samples(count);
  std::uint64_t seed = 7;
  std::size_t left = 0;
  bool on = false;
  for (std::int16_t& s : samples) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    if (left-- == 0) on = !on, left = 960 + (seed >> 33) % 1280;
    s = on ? static_cast<std::int16_t>(static_cast<std::int64_t>(seed >> 50) - 8192) : std::int16_t{0};
  }
  return samples;
}

double energy(std::span<const std::int16_t> samples) {
  double sum = 0;
  for (std::int16_t s : samples) sum += static_cast<double>(s) * s;
  return sum;
}

// What the output plays reaches the microphone 150 ms later, at -3 dB: far
// beyond the filter's 64 ms until the reference is moved by the lag found.
// After four seconds of it the microphone's own voice joins: the echo was
// gone and the voice is left as it was, at the stamps it came with. The
// output's audio comes as the microphone's does, so a frame waits for the
// look-ahead past it only until the lag is found: from then on the filter
// needs no reference newer than 140 ms before the frame, and each block
// goes out as it comes, less the canceller's frame of latency.
TEST_F(EchoStageTest, TheOutputsEchoIsTakenOutOfTheMicrophone) {
  EchoStage echo = stage();
  const std::size_t total = 16000 * 8, block = 640, delay = 2400;
  const std::vector<std::int16_t> far = bursts(total + delay + 640);
  std::vector<std::int16_t> voice = tone(total, 300, 3000);
  std::fill_n(voice.begin(), total / 2, 0);
  std::vector<std::int16_t> out, heard(total);
  int held_for_the_look_ahead = 0;
  for (std::size_t at = 0; at < total; at += block) {
    const Ticks stamp = kEpoch + static_cast<Ticks>(at) * kTicksPerSample;
    reference_->placed(stamp, std::span(far).subspan(at + delay, block));
    std::vector<std::int16_t> mic(block);
    for (std::size_t i = 0; i < block; ++i) {
      heard[at + i] = static_cast<std::int16_t>(std::lround(far[at + i] * 0.7));
      mic[i] = static_cast<std::int16_t>(voice[at + i] + heard[at + i]);
    }
    // Its stamps jitter by a fraction of a sample, as a stream clock's do
    // when a bound tightens: the channel places the samples by count, and so
    // must the alignment, or each jump is a new echo path to learn.
    echo.take({stamp + (static_cast<Ticks>(at / block % 3) - 1) * 400, mic}, stamp + 40 * kMs);
    std::vector<std::int16_t> released = take_all(echo, stamp + 40 * kMs, false);
    out.insert(out.end(), released.begin(), released.end());
    if (at >= 32000 && out.size() != at + block - EchoCanceller::kFrameSamples) ++held_for_the_look_ahead;
  }
  EXPECT_EQ(held_for_the_look_ahead, 0) << "blocks of 2 s on held past their coming";
  std::vector<std::int16_t> rest = take_all(echo, kEpoch + 9 * kTicksPerSecond, true);
  out.insert(out.end(), rest.begin(), rest.end());
  ASSERT_EQ(out.size(), total);
  // The echo over the second before the voice, then the voice over the last
  // two seconds (less the last eighth of a second).
  EXPECT_GT(10 * std::log10(energy(std::span(heard).subspan(48000, 16000)) /
                            energy(std::span(out).subspan(48000, 16000))),
            30.0);
  EXPECT_NEAR(20 * std::log10(amplitude_at(std::span(out).subspan(total - 32000, 30000), 300) / 3000), 0, 0.5);
}

// A new device is a new echo path, which a filter learns afresh sooner than
// it unlearns the old one. Over the 0.3 s after the microphone, or the
// output, opens another device whose echo comes 2.5 ms later (the tone's
// phase turned) at another level, the echo is well down, where a filter
// kept from before still added to it (a residual of 9,200 in the first
// 0.1 s, 3,200 in the third, against an echo of 5,000).
TEST_F(EchoStageTest, AnotherDeviceOnEitherSideStartsTheCancellerAfresh) {
  for (const bool microphone_switched : {true, false}) {
    SCOPED_TRACE(microphone_switched ? "the microphone switched" : "the output switched");
    reference_ = std::make_shared<EchoReference>(kEpoch, EchoStage::kLookAhead);
    EchoStage echo = stage();
    const std::size_t total = 16000 * 4 + 6400, change = 16000 * 4, block = 640, shift = 40;
    const std::vector<std::int16_t> far = tone(total + block, 1000, 10000);
    reference_->placed(kEpoch, std::span(far).first(block));
    std::vector<std::int16_t> out;
    for (std::size_t at = 0; at < total; at += block) {
      const Ticks stamp = kEpoch + static_cast<Ticks>(at) * kTicksPerSample;
      const bool switched = at == change;
      if (switched && !microphone_switched) reference_->device_opened(stamp + 40 * kMs);
      reference_->placed(stamp + 40 * kMs, std::span(far).subspan(at + block, block));
      std::vector<std::int16_t> mic(block);
      for (std::size_t i = 0; i < block; ++i) {
        const std::size_t n = at + i;
        mic[i] = static_cast<std::int16_t>(n < change ? far[n] * 0.7 : n >= shift ? far[n - shift] * 0.5 : 0);
      }
      echo.take({stamp, mic, switched && microphone_switched}, stamp + 40 * kMs);
      std::vector<std::int16_t> released = take_all(echo, stamp + 40 * kMs, false);
      out.insert(out.end(), released.begin(), released.end());
    }
    ASSERT_GE(out.size(), change + 4800);
    EXPECT_LT(amplitude_at(std::span(out).subspan(change - 8000, 8000), 1000), 5000 * 0.1)
        << "the first path was learnt";
    EXPECT_LT(amplitude_at(std::span(out).subspan(change, 4800), 1000), 5000 * 0.5);
  }
}

}  // namespace
}  // namespace tavikrec
