// Bookkeeping for the stall watchdog of a chosen microphone: when did the
// stream last deliver data (or a hole), without counting stretches in which
// the capture loop itself did not run (a suspended machine, for instance).
#pragma once

#include "base/clock.h"

namespace tavikrec {

class StallWatch {
 public:
  static constexpr Ticks kStallLimit = 5 * kTicksPerSecond;  // whole seconds: the stall message names it

  explicit StallWatch(Ticks now) : last_data_(now), previous_cycle_(now) {}

  // At the start of every cycle: a gap of a whole second or more since the
  // previous cycle means the loop was not running, and is not silence.
  void begin_cycle(Ticks now) {
    if (now >= previous_cycle_ && now - previous_cycle_ >= kTicksPerSecond) last_data_ = now;
    previous_cycle_ = now;
  }
  void data_arrived(Ticks now) { last_data_ = now; }

  // True once kStallLimit has passed without data.
  bool stalled(Ticks now) const { return now - last_data_ >= kStallLimit; }
  // When stalled() turns true if no data comes.
  Ticks stall_deadline() const { return last_data_ + kStallLimit; }

 private:
  Ticks last_data_;
  Ticks previous_cycle_;
};

}  // namespace tavikrec
