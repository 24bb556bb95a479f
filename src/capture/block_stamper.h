// Turns what a record stream hands out (runs of bytes, holes, timing
// replies) into CapturedBlocks stamped from the stream's own clock
// (StreamClock). Audio is held back while the clock settles, after the
// start and after every reset, so that the first stamp is already sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "base/units.h"
#include "capture/sample_assembler.h"
#include "capture/stream_clock.h"
#include "capture/timing_report.h"
#include "frame/captured_block.h"

namespace tavikrec {

// Ticks of audio in `bytes` of the stream (a sample's worth per whole sample).
constexpr Ticks ticks_of_bytes(std::int64_t bytes) {
  return bytes * kTicksPerSample / static_cast<std::int64_t>(kBytesPerSample);
}

class BlockStamper {
 public:
  // How long after capture a flowing stream can be late in handing out its
  // audio beyond its reported latency: one fragment (the server sends whole
  // fragments) and a margin for the server's own scheduling.
  static constexpr Ticks kHandOutAllowance = kFragmentDuration + 30 * kTicksPerMillisecond;
  // A server may hand out later than that for a while: PipeWire 0.3, after
  // a stop of half a second, handed the monitor's fragments out up to 25 ms
  // later still, for seconds, each a little later than the one before. How
  // late blocks came (from their first sample's stamp to their arrival)
  // over the last kLateWindow, plus the allowance's margin, holds the
  // claim back as well, up to the lateness a standstill is taken at.
  static constexpr Ticks kLateWindow = 10 * kTicksPerSecond;

  explicit BlockStamper(bool monitor) : clock_(monitor) {}

  // `bytes` were read from the stream at `now`.
  void take_audio(std::span<const std::uint8_t> bytes, Ticks now);
  // The stream reported a hole: that much audio is missing, and the
  // position moves on by it, so the next block's stamp shows the gap.
  void take_hole(std::size_t bytes);
  void take_timing(const TimingReport& report);
  // At `now` the source changed (`new_device`: the stream moved to another
  // device, or a new stream replaced it) or was suspended or resumed.
  // `bytes_in_hand`: what the stream had already received and not yet been
  // read, which still belongs to the old source. The first block from the
  // new device on is marked as opening it.
  void reset(std::size_t bytes_in_hand, bool new_device, Ticks now);

  // The oldest held block once its stamp is known, or, with `flush` (the
  // run is stopping), whatever its stamp, as well as the clock knows it.
  // The view stays valid until the next call.
  std::optional<CapturedBlock> next_block(Ticks now, bool flush = false);

  // For an empty stream at `now`: the instant before which everything
  // captured has been handed out as blocks. Nothing while audio is held.
  // Never later than the reported latency and kHandOutAllowance allow, nor
  // than how late blocks came over the last kLateWindow.
  std::optional<Ticks> handed_out_until(Ticks now) const;

  // When held audio may be released without new audio arriving; nothing if
  // nothing is held or if that waits for audio first.
  std::optional<Ticks> release_at() const;

  // Whether audio arriving now would be stamped at once; while not, the
  // clock wants timing replies.
  bool settled(Ticks now) const { return clock_.knows(ticks_of_bytes(read_bytes_), now); }

  // How far the source's clock runs from the system's (see DriftTracker).
  DriftTracker& drift() { return clock_.drift(); }

  // Whether the relation between the stream and the clock changed since the
  // last call (see StreamClock::take_relation_change).
  bool take_relation_change() { return clock_.take_relation_change(); }

 private:
  struct Held {
    std::int64_t first_byte;  // stream position of the first sample
    std::vector<std::int16_t> samples;
    Ticks arrived_at = 0;
  };
  struct Lateness {
    Ticks at;    // when the block came
    Ticks late;  // from its first sample's stamp
  };

  StreamClock clock_;
  SampleAssembler assembler_;
  std::int64_t read_bytes_ = 0;  // holes included
  Ticks head_latency_ = 0;       // of the last timing reply
  // Where the audio of each device the stream switched to begins, oldest
  // first, until the block that opens it goes out.
  std::deque<std::int64_t> devices_from_;
  std::deque<Held> held_;
  // The latest of the blocks over kLateWindow, decreasing: each entry the
  // latest since the one before it.
  std::deque<Lateness> lateness_;
  Held out_;  // the block last handed out
};

}  // namespace tavikrec
