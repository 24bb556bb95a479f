// What sees a channel's timeline grow: every sample placed on it, real or
// padded silence, in order and as it is placed, before it is cut into
// frames. The echo canceller's reference is the output channel's timeline
// seen this way, so that it is there as soon as the channel has it.
#pragma once

#include <cstdint>
#include <span>

#include "base/units.h"

namespace tavikrec {

class TimelineTap {
 public:
  virtual ~TimelineTap() = default;
  // Called with the Framer's lock held: must neither block for long nor call
  // back into the Framer. `from` is the stamp of the first sample.
  virtual void placed(Ticks from, std::span<const std::int16_t> samples) = 0;
  virtual void placed_silence(Ticks from, Ticks count) = 0;
  // The samples placed from `from` on come from another device than those
  // before.
  virtual void device_opened(Ticks from) = 0;
};

}  // namespace tavikrec
