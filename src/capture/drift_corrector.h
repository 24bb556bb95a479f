// Applies a drifting source's correction to its blocks on their way to the
// channel: while none is engaged they pass through untouched (bit-exact);
// while one is, a Resampler converts them, and each converted block is
// stamped with the capture instant of where its first sample lies in the
// input, so that the stamps stay as true as the clock made them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/source_kind.h"
#include "base/units.h"
#include "frame/captured_block.h"
#include "signal/resampler.h"

namespace tavikrec {

class DriftCorrector {
 public:
  explicit DriftCorrector(SourceKind kind) : kind_(kind) {}

  // The blocks to place for `block`: `correction_ppm` is the correction at
  // this moment (nothing: pass through), `source_ppm` the rate it rests on,
  // for the notice. Stopping a correction first sends on what the converter
  // still holds. The blocks and their samples stay valid until the next call.
  std::span<const CapturedBlock> correct(const CapturedBlock& block, std::optional<double> correction_ppm,
                                         std::optional<double> source_ppm);

  // At the stop or a change of relation: what the converter still holds, if
  // a correction runs; the next block starts afresh.
  std::span<const CapturedBlock> finish();

  // The line announcing a correction that engaged with the last call.
  std::optional<std::string> take_notice();

  // How much audio, counted back from the end of the last block, the
  // converter holds (its look-ahead): not handed out to the channel yet.
  Ticks held_back() const;

 private:
  void finish_into_blocks();
  void remember(std::span<const std::int16_t> samples);

  const SourceKind kind_;
  std::optional<Resampler> resampler_;
  // The last samples passed through, for the converter to continue from.
  std::vector<std::int16_t> history_;
  Ticks next_input_stamp_ = 0;   // of the sample after the last one converted
  Ticks next_output_stamp_ = 0;  // of the next sample the converter puts out
  std::vector<std::int16_t> converted_;
  std::vector<std::int16_t> tail_;  // what a finished converter held
  std::vector<CapturedBlock> blocks_;
  std::optional<std::string> notice_;
};

}  // namespace tavikrec
