// Where a capture thread's stamped blocks go: through the drift correction
// (DriftCorrector, steered by the stream clock's DriftTracker) and, for a
// microphone with --cancel-echo, the echo canceller (EchoStage) to its
// channel's Framer, under the Framer's lock, with the lines to print (the
// late-stamp warning, the correction's notice) printed once the lock is
// released.
#pragma once

#include <expected>
#include <memory>

#include "base/error_text.h"
#include "base/source_kind.h"
#include "capture/block_stamper.h"
#include "capture/drift_corrector.h"
#include "capture/echo_stage.h"
#include "frame/captured_block.h"
#include "frame/frame_sink.h"
#include "frame/framer.h"

namespace tavikrec {

class ChannelOutlet {
 public:
  ChannelOutlet(SourceKind kind, SharedFramer framer, std::shared_ptr<FrameSink> sink)
      : framer_(std::move(framer)), sink_(std::move(sink)), corrector_(kind) {}

  // Appends every block of `stamper` whose stamp is known at `now`; with
  // `flush` (the run is stopping), every block it holds, and what the drift
  // correction still holds. After a change of the stream's relation to the
  // clock, what the drift correction holds goes out first. Fails with
  // "could not write frames ({})".
  std::expected<void, ErrorText> release(BlockStamper& stamper, Ticks now, bool flush = false);

  // For an empty stream at `now`: the instant before which everything
  // captured has reached the channel (see BlockStamper::handed_out_until),
  // less what the drift correction and the echo canceller still hold.
  std::optional<Ticks> handed_out_until(const BlockStamper& stamper, Ticks now) const;

  // When held audio may go out without new audio arriving (see
  // BlockStamper::release_at, EchoStage::release_at).
  std::optional<Ticks> release_at(const BlockStamper& stamper) const;

  // From now on the blocks go through `echo` before the channel.
  void cancel_echo(EchoStage echo) { echo_.emplace(std::move(echo)); }

  Poisonable<Framer>& framer() { return *framer_; }

 private:
  // Places `block` and tells `drift` how far the timeline strayed from it.
  std::expected<void, ErrorText> append(const CapturedBlock& block, DriftTracker& drift, Ticks now);
  // The drift correction's output: to the echo canceller, or placed.
  std::expected<void, ErrorText> pass_on(std::span<const CapturedBlock> blocks, DriftTracker& drift, Ticks now);

  SharedFramer framer_;
  std::shared_ptr<FrameSink> sink_;
  DriftCorrector corrector_;
  std::optional<EchoStage> echo_;
};

}  // namespace tavikrec
