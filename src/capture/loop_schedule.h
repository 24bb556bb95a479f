// When the capture loop has something of its own to do: a timing request
// that falls due, a deadline of a part it drives (held audio, the stall
// limit, a reopen), a quiet check of a silent system output. Between them it
// sleeps in its main loop's poll.
#pragma once

#include <optional>

#include "base/units.h"
#include "capture/block_stamper.h"

namespace tavikrec {

class LoopSchedule {
 public:
  // libpulse's own timing updates thin out to one per 1.5 s; the stream
  // clock wants one at least every second. A request falls due a second
  // after the last one, and any wake-up in the 100 ms before that sends it
  // early, so a stream that flows never needs a wake-up of its own for it.
  static constexpr Ticks kTimingRequestInterval = kTicksPerSecond;
  static constexpr Ticks kTimingRequestSlack = 100 * kTicksPerMillisecond;
  // The longest sleep. StallWatch takes a pause of a whole second between
  // two cycles for a loop that did not run (a suspended machine).
  static constexpr Ticks kLongestSleep = 250 * kTicksPerMillisecond;
  // While the system output delivers nothing, how often the silence filler
  // hears so, which keeps a silent system channel moving.
  static constexpr Ticks kQuietPeriod = kFragmentDuration;
  // How long a microphone with a device may deliver nothing before its
  // channel goes on as silence: a server stalled that long has lost what
  // the device captured meanwhile, or hands it over with new stamps after
  // the silence (a standstill), so padding takes nothing from it.
  static constexpr Ticks kQuietMicrophone = 2 * kTicksPerSecond;

  // `quiet_checks`: the loop tells the silence filler whenever its stream is
  // quiet (the system output).
  LoopSchedule(Ticks start, bool quiet_checks)
      : quiet_checks_(quiet_checks), last_timing_request_(start), last_audio_(start) {}

  // Whether to ask for a timing reply now. While the stamps settle, every
  // cycle that read audio asks.
  bool timing_due(Ticks now, bool read_unsettled_audio) const {
    return read_unsettled_audio || now - last_timing_request_ >= kTimingRequestInterval - kTimingRequestSlack;
  }
  void timing_requested(Ticks now) { last_timing_request_ = now; }
  void audio_read(Ticks now) { last_audio_ = now; }

  // Whether a stream found quiet at `now` leaves silence on its channel's
  // timeline: with quiet checks always; otherwise (the microphone) while
  // `nothing_coming` for the channel (no input device), or once the stream
  // has been quiet for kQuietMicrophone. So no absence of any length is
  // written as one burst when audio comes back: the channel's frames keep
  // coming at the clock's pace, and no more than a few seconds of them are
  // ever written at once.
  bool leaves_silence(Ticks now, bool nothing_coming) const {
    return quiet_checks_ || nothing_coming || now - last_audio_ >= kQuietMicrophone;
  }

  // The instant the loop must wake by, given the deadlines of the parts it
  // drives (each optional).
  Ticks next_wake(Ticks now, std::optional<Ticks> stall_deadline, std::optional<Ticks> release_at,
                  std::optional<Ticks> reopen_at) const;

 private:
  const bool quiet_checks_;
  Ticks last_timing_request_;
  Ticks last_audio_;
};

}  // namespace tavikrec
