// The microphone's blocks on their way to its channel, less the echo of what
// the output plays: each stretch waits until the output's timeline has
// reached its reference (a look-ahead past it), or at most kReferenceWait
// beyond that, then goes through the echo canceller in the canceller's
// frames. A late or absent reference (a silent output is known silent at
// once; a stalled server, a switch in progress) never stalls the channel:
// what there is of it is used, zeros otherwise. Stamps are kept: the
// canceller adds no delay, so a click lands where it would without it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/units.h"
#include "capture/echo_reference.h"
#include "frame/captured_block.h"
#include "signal/echo_canceller.h"

namespace tavikrec {

class EchoStage {
 public:
  // The longest a stretch waits for its reference beyond when it is due:
  // one fragment, which a monitor's audio may trail its play instant by.
  static constexpr Ticks kReferenceWait = kFragmentDuration;
  // How far past a microphone sample its reference reaches: an echo may lie
  // up to this much before its reference's stamp (a monitor is stamped when
  // played, a sink latency after it is rendered).
  static constexpr Ticks kLookAhead = 30 * kTicksPerMillisecond;
  // The echo path the filter models, from kLookAhead before the reference
  // to the rest after it: the rig's 150 ms, the room's reverberation, and
  // what the stamps of two devices get wrong.
  static constexpr std::size_t kFilterSamples = 4096;

  EchoStage(std::shared_ptr<const EchoReference> reference, EchoCanceller canceller);

  // Takes the next block of the channel (the drift correction's output).
  void take(const CapturedBlock& block);

  // The blocks ready at `now`, echo removed: every whole frame whose
  // reference has come or waited long enough; with `flush` (the run stops,
  // or the relation changed), everything held. The blocks and their
  // samples stay valid until the next call.
  std::span<const CapturedBlock> release(Ticks now, bool flush = false);

  // When a held frame stops waiting for its reference; nothing when none
  // waits for one (a partial frame waits for more audio instead).
  std::optional<Ticks> release_at() const;

  // How much audio is held, counted back from the end of the last block.
  Ticks held_back() const;

 private:
  // A run of samples whose stamps follow each other.
  struct Stretch {
    Ticks stamp;
    std::vector<std::int16_t> samples;
    bool opens_device;
    std::size_t done = 0;  // samples already through the canceller
  };
  Ticks due_at(Ticks stamp) const;

  std::shared_ptr<const EchoReference> reference_;
  EchoCanceller canceller_;
  std::deque<Stretch> held_;
  std::vector<std::int16_t> cleaned_;
  std::vector<CapturedBlock> blocks_;
};

}  // namespace tavikrec
