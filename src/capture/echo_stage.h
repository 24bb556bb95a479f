// The microphone's blocks on their way to its channel, less the echo of what
// the output plays: each frame of the canceller waits until the output's
// timeline has reached the reference its filter uses (a look-ahead past it
// until the echo's lag is found, less once the filter is placed on it), or
// at most kReferenceWait plus the look-ahead after its audio came, then goes
// through the echo canceller. A late or absent reference (a silent output is
// known silent at once; a stalled server, a switch in progress) never stalls the channel:
// what there is of it is used, zeros otherwise. Stamps are kept: the
// canceller's frame of latency is taken back, so a click lands where it
// would without it; a frame waits for the next to finish it only as long
// as it may wait for its reference.
#pragma once

#include <array>
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
#include "signal/echo_delay_estimator.h"

namespace tavikrec {

class EchoStage {
 public:
  // The longest a frame waits for its reference, beyond the look-ahead,
  // after its audio came: one fragment. The wait counts from the audio's
  // arrival, not its stamp, since the monitor's audio comes a delivery
  // latency after its stamp as the microphone's does: on PipeWire a wait
  // counted from the stamps ran out for a third of the frames, 7 ms before
  // their reference came, and the filter learnt from zeros.
  static constexpr Ticks kReferenceWait = kFragmentDuration;
  // How far past a microphone sample its reference reaches: an echo may lie
  // up to this much before its reference's stamp (a monitor is stamped when
  // played, a sink latency after it is rendered).
  static constexpr Ticks kLookAhead = 30 * kTicksPerMillisecond;
  // Where the echo is looked for: from kLookAhead before its reference's
  // stamp to 226 ms after it (the rig's 150 ms, and what the stamps of two
  // devices get wrong).
  static constexpr std::size_t kSearchedLag = 4096;
  // The echo path the filter models: 64 ms of it, from kPlacement before
  // the lag the EchoDelayEstimator found (until it finds one, from
  // kLookAhead before the reference's stamp). Offline on the echo rig, a
  // filter placed so learns the path 150 ms late to 46 dB in 3-10 s, where
  // 4,096 taps spanning every lag reach 27 dB.
  static constexpr std::size_t kFilterSamples = 1024;
  static constexpr std::size_t kPlacement = 160;
  // A lag found this close to where the filter has the echo leaves it there:
  // moving the reference is a new path to learn.
  static constexpr std::size_t kShiftTolerance = 64;

  EchoStage(std::shared_ptr<const EchoReference> reference, EchoCanceller canceller);

  // Takes the next block of the channel (the drift correction's output),
  // come at `now`.
  void take(const CapturedBlock& block, Ticks now);

  // The blocks ready at `now`, echo removed: every whole frame whose
  // reference has come or waited long enough; with `flush` (the run stops,
  // or the relation changed), everything held. Each keeps the stamp it came
  // with. The blocks and their samples stay valid until the next call.
  std::span<const CapturedBlock> release(Ticks now, bool flush = false);

  // When a held frame stops waiting for its reference; nothing when none
  // waits for one (a partial frame waits for more audio instead).
  std::optional<Ticks> release_at() const;

  // How much audio is held, counted back from the end of the last block.
  Ticks held_back() const;

  // The stream's relation to the clock changed: the blocks taken from now
  // on may lie a few milliseconds off those before, and the canceller starts
  // afresh with them, as it does where the microphone or the output opens
  // another device. Measured with speech (bench/echo_switch): after a new
  // echo path a filter that starts afresh is 5-7 dB further 1-3 s later
  // than one that unlearns the old path, and after the same path moved by
  // 5 ms it is as far or further.
  void restart() { restart_ = true; }

 private:
  // Where a block taken begins in its stretch.
  struct Mark {
    std::size_t offset;
    Ticks stamp;
    bool opens_device;
    Ticks taken_at;
  };
  // A run of samples that follow each other on the channel's timeline, as
  // the channel places them: by count, whatever their stamps' jitter. The
  // reference is read by that count too, since a jump of one sample in the
  // alignment is an echo path the filter must learn again.
  struct Stretch {
    Ticks start;  // the timeline instant of its first sample
    std::vector<std::int16_t> samples;
    std::vector<Mark> marks;
    std::size_t done = 0;  // samples already through the canceller
    bool afresh = false;   // the canceller starts afresh at its first sample
    std::size_t finished = 0;  // samples released: done, or a frame short of it
  };
  // When the frame of `stretch` that ends before sample `end` stops waiting.
  static Ticks due_at(const Stretch& stretch, std::size_t end, Ticks look_ahead);
  // Gives the delay estimator the frames the canceller has run whose whole
  // reference has come (or waited as long as they may), in order.
  void hear(Ticks now, bool flush);
  // Releases what of `stretch` the canceller has run but not released yet,
  // from `out`.
  void finish(Stretch& stretch, std::span<const std::int16_t> out);
  // Cuts what of `stretch` was cleaned, [from, to), into blocks at its
  // marks, each with the stamp its samples came with.
  void cut(const Stretch& stretch, std::size_t from, std::size_t to, std::size_t cleaned_from);

  std::shared_ptr<const EchoReference> reference_;
  EchoCanceller canceller_;
  EchoDelayEstimator estimator_{kSearchedLag, kPlacement, kShiftTolerance};
  // The frames run that the estimator has yet to hear: it searches every
  // lag, so it needs the reference up to the look-ahead past them, which the
  // canceller no longer waits for once a lag is found.
  struct Unheard {
    Ticks at, due;
    bool afresh;
    std::array<std::int16_t, EchoCanceller::kFrameSamples> rec;
  };
  std::deque<Unheard> unheard_;
  std::deque<Stretch> held_;
  // Where the timeline goes on after the last sample taken.
  std::optional<Ticks> next_;
  bool restart_ = false;
  // The output's device whose echo path the canceller learns.
  Ticks reference_device_from_;
  std::vector<std::int16_t> cleaned_;
  struct Cut {
    Ticks stamp;
    std::size_t first, count;
    bool opens_device;
  };
  std::vector<Cut> cuts_;
  std::vector<CapturedBlock> blocks_;
};

}  // namespace tavikrec
