// A microphone whose clock runs PPM fast (negative: slow) samples the sound
// in the room on its own grid: 16 kHz × (1 + PPM/10^6) samples per second of
// the system's clock. Reads the sound on the system's 16 kHz grid (s16le, mono)
// on stdin and writes what such a microphone records of it on stdout, its
// sample k taken at room sample k / (1 + PPM/10^6): the echo rig's microphone
// track for a drifting device.
//   mic_grid PPM < room.s16le > microphone.s16le
//
// A Kaiser-windowed sinc, evaluated at each position: at PPM 0 every position
// is a room sample and the track comes out unchanged. The Resampler is not
// used: its filter takes the top of the band down even at the ratio one, and
// within 7.6 ppm of one it takes two ratios in turn, moving its outputs by
// ±0.05 samples, which bounds an echo canceller near 40 dB.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace {

constexpr int kHalfTaps = 32;  // room samples each side of a position
constexpr double kKaiserBeta = 9.0;

// The modified Bessel function I0, by its series.
double bessel_i0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; term > 1e-12 * sum; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

// The interpolation kernel at `t` room samples from the position.
double kernel(double t) {
  const double edge = t / kHalfTaps;
  if (std::abs(edge) >= 1) return 0;
  const double window = bessel_i0(kKaiserBeta * std::sqrt(1 - edge * edge)) / bessel_i0(kKaiserBeta);
  return t == 0 ? window : window * std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
}

double sample_at(const std::vector<std::int16_t>& room, double position) {
  const auto base = static_cast<std::int64_t>(std::floor(position));
  const double fraction = position - static_cast<double>(base);
  if (fraction == 0) return room[static_cast<std::size_t>(base)];
  double sum = 0;
  for (std::int64_t n = base - kHalfTaps + 1; n <= base + kHalfTaps; ++n) {
    if (n >= 0 && n < static_cast<std::int64_t>(room.size())) {
      sum += room[static_cast<std::size_t>(n)] * kernel(static_cast<double>(n) - position);
    }
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mic_grid PPM < room.s16le > microphone.s16le\n");
    return 2;
  }
  const double rate = 1 + std::atof(argv[1]) * 1e-6;  // microphone samples per room sample
  std::vector<std::int16_t> room;
  std::int16_t block[4096];
  for (std::size_t got; (got = std::fread(block, sizeof block[0], std::size(block), stdin)) > 0;) {
    room.insert(room.end(), block, block + got);
  }
  std::vector<std::int16_t> microphone;
  for (std::int64_t k = 0;; ++k) {
    const double position = static_cast<double>(k) / rate;
    if (position >= static_cast<double>(room.size())) break;  // the room's time is up
    const double value = std::round(sample_at(room, position));
    microphone.push_back(static_cast<std::int16_t>(std::clamp(value, -32768.0, 32767.0)));
  }
  std::fwrite(microphone.data(), sizeof microphone[0], microphone.size(), stdout);
  return std::ferror(stdout) ? 1 : 0;
}
