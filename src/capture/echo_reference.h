// The echo canceller's reference: the output channel's timeline as it grows,
// padded silence included, fed by whoever places samples on it (the output's
// capture thread, the silence filler) and read by the microphone's capture
// thread. The stamps of both channels lie on one clock, kept there by the
// drift correction: that is the alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "base/units.h"
#include "frame/timeline_tap.h"
#include "signal/reference_aligner.h"

namespace tavikrec {

class EchoReference final : public TimelineTap {
 public:
  // How much of the output is kept: the longest a microphone block may wait
  // for its reference, and then some.
  static constexpr Ticks kKept = 2 * kTicksPerSecond;

  // `epoch`: the instant of the timelines' sample 0. `look_ahead`: how far
  // past a microphone sample its reference reaches (see ReferenceAligner).
  EchoReference(Ticks epoch, Ticks look_ahead);

  void placed(Ticks from, std::span<const std::int16_t> samples) override;
  void placed_silence(Ticks from, Ticks count) override;
  void device_opened(Ticks from) override;
  // The output's stream has handed out everything captured before `until`:
  // what its timeline lacks up to there is silence, whether or not the
  // silence filler has padded it yet.
  void silent_until(Ticks until);

  Ticks look_ahead() const { return look_ahead_; }
  // Whether the reference for microphone samples from `from` on, `count` of
  // them, is all known.
  bool covers(Ticks from, std::size_t count) const;
  // The reference for the microphone samples from `from` on; zeros where
  // none is known.
  void read(Ticks from, std::span<std::int16_t> out) const;
  // Where the output's latest device begins on its timeline; the epoch
  // while it has had one device.
  Ticks device_from() const;

 private:
  std::int64_t index_of(Ticks stamp) const;

  const Ticks epoch_;
  const Ticks look_ahead_;
  mutable std::mutex mutex_;
  ReferenceAligner aligner_;  // REQUIRES: mutex_ held
  Ticks device_from_;          // REQUIRES: mutex_ held
};

}  // namespace tavikrec
