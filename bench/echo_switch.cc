// Whether the echo canceller should keep what it learnt or start afresh when
// the echo path changes under it: the output or the microphone switched
// (a new path altogether), the stream clock's relation reset (the same path,
// moved by a few milliseconds on the timeline). Far-end speech (a raw 16 kHz
// mono s16le file, looped) and its echo, the echo rig's kind (D ms late at
// -3 dB, reflections 7, 19 and 31 ms after it at -9, -14 and -20 dB), through
// tavikrec's EchoCanceller as the capture runs it (its filter placed on the
// lag the EchoDelayEstimator finds); at 15 s the path changes, and the
// canceller is either kept or reset there; reset, the estimator is told the
// path may have changed, as the capture tells it. Prints ERLE over the 3 s
// before the change and over stretches after it.
//   espeak-ng -w far.wav "..." && sox far.wav -r 16000 -c 1 -b 16 -e signed-integer -t raw far.raw
//   cmake --build build --target echo_switch && build/bench/echo_switch far.raw
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "base/units.h"
#include "capture/echo_stage.h"
#include "signal/echo_canceller.h"
#include "signal/echo_delay_estimator.h"
#include "signal/reference_aligner.h"

namespace {

using namespace tavikrec;

constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;
constexpr std::size_t kRate = kSampleRate;
constexpr std::size_t kChangeAt = 15 * kRate;
constexpr std::size_t kLength = 30 * kRate;

struct Path {
  double delay_ms;
  double gain_db;
};

// The echo of `far` along `path` (with the rig's reflections), unrounded.
std::vector<double> echo_of(const std::vector<std::int16_t>& far, Path path) {
  const std::array<std::pair<double, double>, 4> taps{
      {{0, 0}, {7, -9}, {19, -14}, {31, -20}}};
  std::vector<double> echo(far.size(), 0.0);
  for (const auto& [after_ms, db] : taps) {
    const auto lag = static_cast<std::size_t>(std::lround((path.delay_ms + after_ms) * kRate / 1000));
    const double gain = std::pow(10.0, (path.gain_db + db) / 20);
    for (std::size_t i = lag; i < far.size(); ++i) echo[i] += gain * far[i - lag];
  }
  return echo;
}

double erle_db(const std::vector<double>& echo, const std::vector<std::int16_t>& out, std::size_t from,
               std::size_t to) {
  double e = 0, o = 0;
  for (std::size_t i = from; i < to; ++i) {
    e += echo[i] * echo[i];
    o += static_cast<double>(out[i]) * out[i];
  }
  return 10 * std::log10(e / std::max(o, 1.0));
}

// One run: `before` until kChangeAt, `after` from there, the canceller
// reset at the change when `reset`. Returns ERLE over [12, 15) s and over
// each second after the change, then 3-6 s and 6-15 s after it.
std::vector<double> run(const std::vector<std::int16_t>& far, Path before, Path after, bool reset) {
  const std::vector<double> echo_before = echo_of(far, before), echo_after = echo_of(far, after);
  std::vector<double> echo(far.size());
  for (std::size_t i = 0; i < far.size(); ++i) echo[i] = i < kChangeAt ? echo_before[i] : echo_after[i];
  std::vector<std::int16_t> mic(far.size()), out(far.size());
  for (std::size_t i = 0; i < far.size(); ++i) {
    mic[i] = static_cast<std::int16_t>(std::clamp(std::lround(echo[i]), -32768L, 32767L));
  }
  // As the capture runs it: the reference read a look-ahead past the
  // microphone, then moved back by the lag found.
  EchoCanceller canceller = *EchoCanceller::create(EchoStage::kFilterSamples);
  EchoDelayEstimator estimator(EchoStage::kSearchedLag, EchoStage::kPlacement, EchoStage::kShiftTolerance);
  ReferenceAligner reference(far.size(), static_cast<std::size_t>(EchoStage::kLookAhead / kTicksPerSample));
  reference.append(0, far);
  std::vector<std::int16_t> play(kFrame);
  for (std::size_t at = 0; at + kFrame <= far.size(); at += kFrame) {
    if (reset && at == kChangeAt) {
      canceller.reset();
      estimator.unsettle();
    }
    const auto position = static_cast<std::int64_t>(at);
    reference.read(position, play);
    if (estimator.take(std::span(mic).subspan(at, kFrame), play)) canceller.reset();
    reference.read(position - static_cast<std::int64_t>(estimator.shift()), play);
    canceller.run(&mic[at], play.data(), &out[at], kFrame);
  }
  std::vector<double> figures{erle_db(echo, out, kChangeAt - 3 * kRate, kChangeAt)};
  for (std::size_t s = 0; s < 3; ++s) {
    figures.push_back(erle_db(echo, out, kChangeAt + s * kRate, kChangeAt + (s + 1) * kRate));
  }
  figures.push_back(erle_db(echo, out, kChangeAt + 3 * kRate, kChangeAt + 6 * kRate));
  figures.push_back(erle_db(echo, out, kChangeAt + 6 * kRate, kLength));
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: echo_switch FAR.raw (16 kHz mono s16le speech)\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> speech(bytes.size() / 2);
  for (std::size_t i = 0; i < speech.size(); ++i) {
    speech[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                          (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
  }
  if (speech.empty()) {
    std::fprintf(stderr, "echo_switch: no speech in %s\n", argv[1]);
    return 1;
  }
  std::vector<std::int16_t> far(kLength);
  for (std::size_t i = 0; i < kLength; ++i) far[i] = speech[i % speech.size()];

  struct Change {
    const char* what;
    Path before, after;
  };
  const std::array<Change, 5> changes{{
      {"another device: 20 ms -> 60 ms, -3 -> -8 dB", {20, -3}, {60, -8}},
      {"another device: 20 ms -> 22 ms, -3 -> -10 dB", {20, -3}, {22, -10}},
      {"another device: 60 ms -> 20 ms, -8 -> -3 dB", {60, -8}, {20, -3}},
      {"stamps moved 5 ms later: 20 -> 25 ms", {20, -3}, {25, -3}},
      {"stamps moved 5 ms earlier: 20 -> 15 ms", {20, -3}, {15, -3}},
  }};
  std::printf("ERLE (dB): the 3 s before the change | 0-1 s, 1-2 s, 2-3 s, 3-6 s, 6-15 s after it\n");
  for (const Change& change : changes) {
    for (bool reset : {false, true}) {
      const std::vector<double> f = run(far, change.before, change.after, reset);
      std::printf("%-46s %-5s %5.1f | %5.1f %5.1f %5.1f %5.1f %5.1f\n", change.what, reset ? "reset" : "keep",
                  f[0], f[1], f[2], f[3], f[4], f[5]);
    }
  }
  return 0;
}
