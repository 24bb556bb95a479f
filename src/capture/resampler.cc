#include "capture/resampler.h"

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

// The ratio goes to speexdsp as (kStepUnit + offset) / kStepUnit input
// samples per output sample. At a change speexdsp rescales the fraction of a
// sample its next output lies past an input to the new denominator in 32-bit
// arithmetic, and refuses, its ratio left half changed, when that fraction
// times the denominator passes 2^32: a unit of 10^7, fine enough for 0.1 ppm,
// would fail nearly every change. Below 2^16 every change goes through; a
// fixed unit makes the rescaling exact, and a prime one keeps every ratio but
// one itself from reducing to a smaller denominator. Steps of 15.3 ppm, then:
// a step between two is taken as the two in turn, switching between calls,
// so that the outputs lie where the wanted step puts them, never more than
// kLeadSlack plus one call's drift off.
constexpr std::uint32_t kStepUnit = 65'521;
constexpr double kLeadSlack = 0.05;  // input samples
constexpr double kMaxPpm = 2000;

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

void Resampler::set_ppm(double ppm) { wanted_ = std::clamp(ppm, -kMaxPpm, kMaxPpm) * kStepUnit / 1e6; }

std::int32_t Resampler::next_offset() const {
  auto below = static_cast<std::int32_t>(std::floor(wanted_));
  std::int32_t above = below + 1;
  // An offset of zero would make the ratio one, which speexdsp keeps as 1/1,
  // dropping the fraction of a sample the next output lies past an input.
  if (below == 0) below = -1;
  if (above == 0) above = 1;
  if (offset_ == below && lead_ > -kLeadSlack) return below;
  if (offset_ == above && lead_ < kLeadSlack) return above;
  return lead_ > 0 ? below : above;
}

double Resampler::convert(std::span<const std::int16_t> in, std::vector<std::int16_t>& out) {
  if (const std::int32_t offset = next_offset(); offset != offset_) {
    const int error = speex_resampler_set_rate_frac(state_.get(), kStepUnit + offset, kStepUnit, kSampleRate,
                                                    kSampleRate);
    if (error != RESAMPLER_ERR_SUCCESS) {
      throw InternalError(std::string("resampler ratio: ") + speex_resampler_strerror(error));
    }
    offset_ = offset;
  }
  const double first = next_position();
  const std::size_t start = out.size();
  // Every output of this call lies before the end of `in`, at most one step
  // past where the last call's end left it.
  const std::uint64_t room = in.size() * std::uint64_t{kStepUnit} / (kStepUnit + offset_) + 2;
  out.resize(start + room);
  const std::uint32_t made = process(state_.get(), in, std::span(out).subspan(start));
  out.resize(start + made);
  advance(made);
  taken_ += static_cast<std::int64_t>(in.size());
  return first;
}

double Resampler::finish(std::vector<std::int16_t>& out) {
  const double first = next_position();
  // The outputs lying before the end of the input, in units of 1/kStepUnit.
  const std::int64_t owed = (taken_ - whole_) * std::int64_t{kStepUnit} - static_cast<std::int64_t>(part_);
  if (owed <= 0) return first;
  const std::int64_t step = kStepUnit + offset_;
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
  return static_cast<double>(whole_ - taken_) + static_cast<double>(part_) / kStepUnit;
}

void Resampler::advance(std::uint64_t count) {
  lead_ += static_cast<double>(count) * (offset_ - wanted_) / kStepUnit;
  const std::uint64_t part = part_ + count * (kStepUnit + offset_);
  whole_ += static_cast<std::int64_t>(part / kStepUnit);
  part_ = part % kStepUnit;
}

}  // namespace tavikrec
