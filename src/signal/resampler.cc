#include "signal/resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "base/internal_error.h"
#include "base/units.h"

namespace tavikrec {
namespace {

// speexdsp's quality level. Measured by bench/resampler_quality (1 kHz at
// -6 dBFS, 500 ppm either way): THD+N is -89 dB at every level from 3 to 10,
// the floor of int16 rounding (the input alone: -91.6 dB), while a second of
// audio costs 0.37 ms of CPU at 3, 0.47 at 4, 0.58 at 5, 0.92 at 7 and 2.8
// at 10 (a quiet machine; half as much again while another build runs).
// Level 3 gives -84 dB for a 6 kHz tone and takes 7 kHz down by 1.2 dB for
// a slow source, 3.1 dB for a fast one, whose band speexdsp narrows; level
// 4 by 0.05 and 0.4 dB, so the top of the band does not change audibly as
// the ratio crosses one. Its filter reaches 32 samples either side of an
// output, hence kHistory.
constexpr int kQuality = 4;

// The ratio goes to speexdsp as a fraction num/den of input samples per
// output sample. At a change speexdsp rescales the fraction of a sample its
// next output lies past an input to the new denominator in 32-bit
// arithmetic, and refuses, its ratio left half changed, when that fraction
// times the denominator passes 2^32: every denominator stays below 2^16.
// Within that, the fraction nearest the wanted ratio is taken (a ratio 500
// ppm off is 2001/2000 exactly; most lie within 10^-8 of one): a fixed
// denominator would leave steps of 15 ppm, and taking the two steps around
// the ratio in turn moves the outputs back and forth by hundredths of a
// sample, which at 1 kHz is noise at -65 dB. Only within 7.6 ppm of one,
// where no such fraction lies but 1/1 (which speexdsp keeps without the
// fraction of a sample), are the two nearest, 65534/65535 and 65536/65535,
// taken in turn.
constexpr std::uint32_t kLargestDen = 65'535;
constexpr double kLeadSlack = 0.05;  // input samples
constexpr double kMaxPpm = 2000;
// A change of the wanted ratio smaller than this keeps speexdsp's (a change
// rebuilds its filter table, ~10 us): the caller's own loop takes up the rest.
constexpr double kSmallestChange = 0.1e-6;

struct Ratio {
  std::uint32_t num;
  std::uint32_t den;
  double value() const { return static_cast<double>(num) / den; }
};

// The fraction nearest `x` (> 0) whose denominator is at most kLargestDen:
// the last convergent of its continued fraction within the bound, or the
// semiconvergent past it when that is nearer.
Ratio nearest_fraction(double x) {
  std::uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  double rest = x;
  for (int term = 0; term < 40; ++term) {
    const double whole = std::floor(rest);
    const auto a = static_cast<std::uint64_t>(whole);
    if (q0 + a * q1 > kLargestDen) {
      const std::uint64_t k = (kLargestDen - q0) / q1;
      const std::uint64_t ps = p0 + k * p1, qs = q0 + k * q1;
      const bool semi = std::abs(static_cast<double>(ps) / static_cast<double>(qs) - x) <
                        std::abs(static_cast<double>(p1) / static_cast<double>(q1) - x);
      return semi ? Ratio{static_cast<std::uint32_t>(ps), static_cast<std::uint32_t>(qs)}
                  : Ratio{static_cast<std::uint32_t>(p1), static_cast<std::uint32_t>(q1)};
    }
    const std::uint64_t p2 = p0 + a * p1, q2 = q0 + a * q1;
    p0 = p1, q0 = q1, p1 = p2, q1 = q2;
    if (rest - whole < 1e-12) break;
    rest = 1 / (rest - whole);
  }
  return {static_cast<std::uint32_t>(p1), static_cast<std::uint32_t>(q1)};
}

// Calls process_int and checks that it took all of `in`; `out` must have
// room for every sample that input completes.
std::uint32_t process(SpeexResamplerState_* state, std::span<const std::int16_t> in, std::span<std::int16_t> out) {
  auto in_len = static_cast<spx_uint32_t>(in.size());
  auto out_len = static_cast<spx_uint32_t>(out.size());
  speex_resampler_process_int(state, 0, in.data(), &in_len, out.data(), &out_len);
  if (in_len != in.size()) {
    throw InternalError("resampler took " + std::to_string(in_len) + " of " + std::to_string(in.size()) +
                        " samples");
  }
  return out_len;
}

}  // namespace

void Resampler::Destroy::operator()(SpeexResamplerState_* state) const { speex_resampler_destroy(state); }

Resampler::Resampler(std::span<const std::int16_t> history) : Resampler(history, kQuality) {}

Resampler::Resampler(std::span<const std::int16_t> history, int quality) {
  int error = 0;
  state_.reset(speex_resampler_init_frac(1, 1, 1, kSampleRate, kSampleRate, quality, &error));
  if (!state_) throw InternalError(std::string("resampler: ") + speex_resampler_strerror(error));
  // The history fills the filter's memory at the ratio one, where every
  // output lands on an input sample; silence stands in for what a stream's
  // start lacks. Skipping the filter's delay afterwards puts the next output
  // on the first sample convert() is given.
  std::array<std::int16_t, kHistory> primed{};
  history = history.last(std::min(history.size(), kHistory));
  std::ranges::copy(history, primed.end() - static_cast<std::ptrdiff_t>(history.size()));
  std::array<std::int16_t, kHistory> discarded{};
  process(state_.get(), primed, discarded);
  speex_resampler_skip_zeros(state_.get());
}

void Resampler::set_ppm(double ppm) { wanted_ = 1 + std::clamp(ppm, -kMaxPpm, kMaxPpm) * 1e-6; }

void Resampler::choose_ratio() {
  if (!alternating_ && den_ != 1 && std::abs(wanted_ - chosen_) <= kSmallestChange) return;
  Ratio ratio = nearest_fraction(wanted_);
  alternating_ = ratio.num == ratio.den;
  if (alternating_) {
    const Ratio below{kLargestDen - 1, kLargestDen}, above{kLargestDen + 1, kLargestDen};
    if (num_ == below.num && den_ == below.den && lead_ > -kLeadSlack) return;
    if (num_ == above.num && den_ == above.den && lead_ < kLeadSlack) return;
    ratio = lead_ > 0 ? below : above;
  } else {
    chosen_ = wanted_;
  }
  if (ratio.num == num_ && ratio.den == den_) return;
  const int error = speex_resampler_set_rate_frac(state_.get(), ratio.num, ratio.den, kSampleRate, kSampleRate);
  if (error != RESAMPLER_ERR_SUCCESS) {
    throw InternalError(std::string("resampler ratio: ") + speex_resampler_strerror(error));
  }
  // speexdsp rescales the fraction of its next output's position so.
  part_ = std::min<std::uint64_t>(part_ * ratio.den / den_, ratio.den - 1);
  num_ = ratio.num;
  den_ = ratio.den;
}

double Resampler::convert(std::span<const std::int16_t> in, std::vector<std::int16_t>& out) {
  choose_ratio();
  const double first = next_position();
  const std::size_t start = out.size();
  // Every output of this call lies before the end of `in`, at most one step
  // past where the last call's end left it.
  const std::uint64_t room = in.size() * std::uint64_t{den_} / num_ + 2;
  out.resize(start + room);
  const std::uint32_t made = process(state_.get(), in, std::span(out).subspan(start));
  out.resize(start + made);
  advance(made);
  taken_ += static_cast<std::int64_t>(in.size());
  return first;
}

double Resampler::finish(std::vector<std::int16_t>& out) {
  const double first = next_position();
  // The outputs lying before the end of the input, in units of 1/den_.
  const std::int64_t owed = (taken_ - whole_) * std::int64_t{den_} - static_cast<std::int64_t>(part_);
  if (owed <= 0) return first;
  const std::int64_t step = num_;
  const auto count = static_cast<std::size_t>((owed + step - 1) / step);
  // Half the filter's length of silence completes the last of them.
  const auto reach = static_cast<std::size_t>(speex_resampler_get_input_latency(state_.get()));
  const std::vector<std::int16_t> silence(reach + 1);
  const std::size_t start = out.size();
  out.resize(start + count);
  auto in_len = static_cast<spx_uint32_t>(silence.size());
  auto out_len = static_cast<spx_uint32_t>(count);
  speex_resampler_process_int(state_.get(), 0, silence.data(), &in_len, out.data() + start, &out_len);
  if (out_len != count) {
    throw InternalError("resampler finished with " + std::to_string(out_len) + " of " + std::to_string(count) +
                        " samples");
  }
  advance(count);
  return first;
}

double Resampler::next_position() const {
  return static_cast<double>(whole_ - taken_) + static_cast<double>(part_) / den_;
}

void Resampler::advance(std::uint64_t count) {
  lead_ += static_cast<double>(count) * (Ratio{num_, den_}.value() - wanted_);
  const std::uint64_t part = part_ + count * num_;
  whole_ += static_cast<std::int64_t>(part / den_);
  part_ = part % den_;
}

}  // namespace tavikrec
