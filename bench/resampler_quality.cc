// What each speexdsp quality level costs and gives in the Resampler: a 1 kHz
// tone at -6 dBFS, SECONDS long (default 60), converted in 40 ms blocks for a
// source 500 ppm fast, 500 ppm slow and 5 ppm fast (where the ratio is taken
// as two in turn), and the tone's THD+N in the output after its first
// second, beside the CPU time per second of audio (the median of 5 runs).
// The tone's own rounding to int16 is the floor any output sits on. A 6 kHz
// tone, where the filter's interpolation errs most within speech's band,
// shows what the levels differ in.
//   resampler_quality [SECONDS]
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <span>
#include <vector>

#include "base/units.h"
#include "signal/resampler.h"

namespace {

using namespace tavikrec;

constexpr double kAmplitude = 32767 / 2.0;  // -6 dBFS
constexpr std::size_t kBlock = 640;
constexpr int kRuns = 5;

double cpu_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

// Residual over tone power, in dB, of `samples` lying at `positions` (in
// input samples) against a tone of free amplitude and phase at the input's
// `tone_hz`, fitted by least squares.
double thd_n_db(double tone_hz, std::span<const std::int16_t> samples, std::span<const double> positions) {
  const double omega = 2 * std::numbers::pi * tone_hz / kSampleRate;
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double s = std::sin(omega * positions[i]), c = std::cos(omega * positions[i]);
    ss += s * s, sc += s * c, cc += c * c, ys += samples[i] * s, yc += samples[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double tone = 0, residual = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double fit = a * std::sin(omega * positions[i]) + b * std::cos(omega * positions[i]);
    tone += fit * fit;
    residual += (samples[i] - fit) * (samples[i] - fit);
  }
  return 10 * std::log10(residual / tone);
}

struct Result {
  double thd_n_db;
  double cpu_ms_per_second;
};

struct Input {
  double tone_hz;
  std::vector<std::int16_t> samples;
};

Input tone(double tone_hz, double seconds) {
  Input input{tone_hz, std::vector<std::int16_t>(static_cast<std::size_t>(seconds * kSampleRate))};
  for (std::size_t i = 0; i < input.samples.size(); ++i) {
    input.samples[i] = static_cast<std::int16_t>(
        std::lround(kAmplitude * std::sin(2 * std::numbers::pi * tone_hz * static_cast<double>(i) / kSampleRate)));
  }
  return input;
}

Result measure(int quality, double ppm, const Input& tone_input) {
  const std::vector<std::int16_t>& input = tone_input.samples;
  std::vector<double> cpu;
  std::vector<std::int16_t> out;
  std::vector<double> positions;
  for (int run = 0; run < kRuns; ++run) {
    out.clear();
    out.reserve(input.size() + input.size() / 100);
    struct Call {
      std::size_t first_sample;
      double position;
    };
    std::vector<Call> calls;
    calls.reserve(input.size() / kBlock + 2);
    const double start = cpu_milliseconds();
    Resampler resampler({}, quality);
    resampler.set_ppm(ppm);
    // The last, empty call says where the samples of the one before end.
    for (std::size_t at = 0, size = 1; size > 0; at += size) {
      size = std::min(kBlock, input.size() - at);
      calls.push_back({out.size(), static_cast<double>(at) + resampler.convert({input.data() + at, size}, out)});
    }
    cpu.push_back(cpu_milliseconds() - start);
    // Between one call's first sample and the next's the samples lie evenly.
    positions.assign(out.size(), 0);
    for (std::size_t c = 0; c + 1 < calls.size(); ++c) {
      const std::size_t count = calls[c + 1].first_sample - calls[c].first_sample;
      for (std::size_t i = 0; i < count; ++i) {
        positions[calls[c].first_sample + i] =
            calls[c].position + (calls[c + 1].position - calls[c].position) * static_cast<double>(i) /
                                    static_cast<double>(count);
      }
    }
  }
  std::ranges::sort(cpu);
  const double seconds = static_cast<double>(input.size()) / kSampleRate;
  return {thd_n_db(tone_input.tone_hz, std::span(out).subspan(kSampleRate), std::span(positions).subspan(kSampleRate)),
          cpu[kRuns / 2] / seconds};
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const Input low = tone(1000, seconds);
  const Input high = tone(6000, seconds);
  std::vector<double> input_positions(low.samples.size());
  for (std::size_t i = 0; i < input_positions.size(); ++i) input_positions[i] = static_cast<double>(i);
  std::printf("tones at -6 dBFS, %.0f s; THD+N of the input itself (int16 rounding): %.1f dB\n", seconds,
              thd_n_db(low.tone_hz, low.samples, input_positions));
  std::printf("quality  THD+N dB, 1 kHz at +500 / -500 / +5 ppm, 6 kHz at +500   CPU ms per second (1 kHz)\n");
  for (int quality = 3; quality <= 10; ++quality) {
    const Result fast = measure(quality, 500, low);
    const Result slow = measure(quality, -500, low);
    const Result near = measure(quality, 5, low);
    const Result treble = measure(quality, 500, high);
    std::printf("%7d  %7.1f %7.1f %7.1f %7.1f                      %5.3f %5.3f %5.3f\n", quality, fast.thd_n_db,
                slow.thd_n_db, near.thd_n_db, treble.thd_n_db, fast.cpu_ms_per_second, slow.cpu_ms_per_second,
                near.cpu_ms_per_second);
  }
}
