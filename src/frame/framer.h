// One channel's timeline: places captured blocks on it, pads gaps with
// silence, and cuts the samples into frames for the FrameSink. The sample
// count is the authority: the timeline advances by exactly one sample's
// ticks per sample, and stamps only decide where it starts and when a gap is
// filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error_text.h"
#include "base/poisonable.h"
#include "frame/captured_block.h"
#include "frame/frame_sink.h"
#include "frame/timeline_tap.h"

namespace tavikrec {

// How far a block's stamp may stray from the timeline's end before the gap
// is filled or the stamp is reported late.
inline constexpr Ticks kStampTolerance = 30 * kTicksPerMillisecond;
// How far the silence filler keeps a silent timeline behind the clock.
inline constexpr Ticks kSilenceLag = 100 * kTicksPerMillisecond;

// What append_block leaves to its caller.
struct Appended {
  // The late-stamp warning, to print once the Framer's lock is released.
  std::optional<std::string> late_stamp_warning;
  // How far the block's stamp lay after the timeline's end where its
  // samples went (negative: the timeline runs ahead of the stamps), after
  // any gap was filled: what a drifting source's correction steers to zero.
  // Nothing when the block was dropped.
  std::optional<Ticks> timeline_error;
};

class Framer {
 public:
  // anchor: where the timeline starts (the capture epoch for the system
  // channel); nullopt lets the first block's stamp anchor it (microphone).
  Framer(std::uint8_t tag, std::optional<Ticks> anchor);

  // REQUIRES: this Framer's lock held (so the FrameSink lock nests inside it).
  // Places the block on the timeline and writes every full frame. The
  // channel's first block loses the samples captured before the sink's epoch
  // (a block with none after it is dropped whole) and is placed exactly at
  // its stamp; so is a block that opens a device, less what of it the
  // timeline covers already (the outputs both played that stretch), and the
  // blocks wholly behind the timeline are dropped until one reaches past its
  // end. Later blocks may stray by kStampTolerance, except into zeros
  // already written (by the silence filler, or for a gap): those were a
  // guess that nothing was captured then, and audio that comes later for
  // that stretch (a stalled server handing over what it did not play)
  // cannot be put back, so what of it lies behind the timeline's end is
  // dropped. Fails with the FrameSink's error,
  // in which case every unwritten sample stays pending.
  std::expected<Appended, ErrorText> append_block(const CapturedBlock& block, FrameSink& sink);

  // REQUIRES: lock held. Writes everything pending, the last frame possibly
  // short. On failure the unwritten samples stay pending.
  std::expected<void, ErrorText> drain(FrameSink& sink);

  // REQUIRES: lock held. The channel's stream, found empty at `now`, has
  // handed out everything captured before `until`. Returns whether
  // fill_silence(now) now has silence to pad.
  bool note_handed_out(Ticks until, Ticks now);

  // REQUIRES: lock held. Pads the timeline with zeros up to kSilenceLag
  // behind `now`, but never past what the stream is known to have handed out
  // (note_handed_out), so a capture thread that is merely late is never taken
  // for a silent output; then drains. Does nothing while nothing has been
  // noted or while at least one sample short of that target.
  std::expected<void, ErrorText> fill_silence(Ticks now, FrameSink& sink);

  // REQUIRES: lock held. Until `until` there is no silence to pad: the
  // capture stream switched devices, and the first audio of the new one,
  // which may reach further back than what was noted handed out (PipeWire
  // 1.4 hands over up to 180 ms of it in a burst), is on its way.
  void hold_silence(Ticks until) { silence_held_until_ = until; }
  // REQUIRES: lock held. Nothing is on its way after all.
  void end_silence_hold() { silence_held_until_ = 0; }

  // REQUIRES: lock held. From now on `tap` sees every sample placed.
  void set_tap(std::shared_ptr<TimelineTap> tap) { tap_ = std::move(tap); }

  std::uint8_t tag() const { return tag_; }
  // Stamp just after the last pending or written sample; nothing until anchored.
  std::optional<Ticks> timeline_end() const;
  std::size_t pending_samples() const { return pending_.size(); }

 private:
  // Appends `count` zeros and writes every frame they complete. Whole frames
  // of zeros go out without passing through pending, so a gap of any length
  // costs no memory; on failure the zeros not written are kept pending.
  std::expected<void, ErrorText> append_zeros(Ticks count, FrameSink& sink);
  void keep(std::span<const std::int16_t> samples);
  // Zeros fill_silence(now) would pad: up to the nearer of kSilenceLag
  // behind `now` and what the stream has handed out.
  Ticks silence_to_pad(Ticks now) const;
  // Writes pending samples as frames, oldest first: the full frames, or with
  // `short_last` everything. The written ones are removed at once at the
  // end, so the cost stays linear; on failure the rest stays pending.
  std::expected<void, ErrorText> write_pending(bool short_last, FrameSink& sink);
  std::string late_stamp_warning(Ticks diff) const;

  const std::uint8_t tag_;
  bool anchored_;
  // A block has been placed (the silence filler's zeros do not count): until
  // then any gap before a block is filled.
  bool placed_first_block_ = false;
  Ticks end_;
  // Oldest first; less than one frame between calls unless a write failed.
  std::vector<std::int16_t> pending_;
  bool warned_ = false;
  std::optional<Ticks> handed_out_until_;  // see note_handed_out
  Ticks silence_held_until_ = 0;  // see hold_silence
  // A block opened a device and none of it has been placed yet.
  bool placing_device_ = false;
  // Where the last zeros written end (the silence filler's or a gap's).
  std::optional<Ticks> silence_padded_until_;
  std::shared_ptr<TimelineTap> tap_;
};

// A Framer shared by its capture thread, the silence filler and the
// supervisor; each takes the lock for every call.
using SharedFramer = std::shared_ptr<Poisonable<Framer>>;

// The lock is poisoned with "framer poisoned".
SharedFramer make_shared_framer(std::uint8_t tag, std::optional<Ticks> anchor);

}  // namespace tavikrec
