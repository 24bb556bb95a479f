// Converts a record stream's 16 kHz samples at a ratio close to one, so that a
// source whose clock runs fast or slow yields 16,000 samples per second of the
// system's clock. Owns its speexdsp state. Not thread-safe: one capture thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace tavikrec {

class Resampler {
 public:
  // `history`: the samples that went out just before conversion starts (up to
  // the last kHistory of them; fewer or none at a stream's start), so that the
  // first output continues them without a click: output sample 0 of the first
  // convert() call is input sample 0 of that call, as if conversion had always run.
  // kHistory is how far back the converter's filter reaches.
  static constexpr std::size_t kHistory = 31;
  explicit Resampler(std::span<const std::int16_t> history);
  // With speexdsp's `quality` (0..10) instead of the program's, for measuring
  // them against each other. History beyond kHistory is not used.
  Resampler(std::span<const std::int16_t> history, int quality);

  // The source delivers (1 + ppm / 10^6) samples per nominal sample: after
  // this, each output sample advances (1 + ppm/10^6) input samples. |ppm| <= 2000.
  // Takes effect from the next convert(); change it as often as every call
  // without clicks.
  void set_ppm(double ppm);
  // Converts `in`, appending the output to `out`. Returns where the first
  // sample appended by this call lies in the input, in input samples relative
  // to in[0] (negative: it lies in what earlier calls passed in; the converter
  // holds some input back as look-ahead). If nothing is appended the value says
  // where the next output sample lies.
  double convert(std::span<const std::int16_t> in, std::vector<std::int16_t>& out);
  // Emits what it still holds back (the look-ahead), as if the input went on
  // with silence, up to the last real input sample; returns as convert() does
  // (relative to the position just after the last input sample, so negative).
  // The last call: only destruction may follow.
  double finish(std::vector<std::int16_t>& out);

 private:
  struct Destroy {
    void operator()(SpeexResamplerState_* state) const;
  };

  // Gives speexdsp the ratio for the next convert(): the fraction nearest
  // the wanted one, unless that moved too little to matter.
  void choose_ratio();
  // Where the next output sample lies, relative to the end of the input so far.
  double next_position() const;
  // Moves the next output's position on by `count` output samples.
  void advance(std::uint64_t count);

  std::unique_ptr<SpeexResamplerState_, Destroy> state_;
  // Input samples per output sample: what set_ppm() asks for, what the
  // ratio in use was chosen for, and what speexdsp takes, num_ / den_.
  double wanted_ = 1;
  double chosen_ = 1;
  std::uint32_t num_ = 1;
  std::uint32_t den_ = 1;
  bool alternating_ = false;  // between the two fractions nearest one
  // How far, in input samples, the outputs so far lie past where steps of
  // the wanted size would have put them.
  double lead_ = 0;
  // The next output sample lies at whole_ + part_ / den_, in input
  // samples from the first convert()'s in[0]; kept exactly, as speexdsp does.
  std::int64_t whole_ = 0;
  std::uint64_t part_ = 0;
  std::int64_t taken_ = 0;  // input samples converted so far
};

}  // namespace tavikrec
