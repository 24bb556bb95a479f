// One piece of captured audio on its way from a capture thread to its
// channel's Framer.
#pragma once

#include <cstdint>
#include <span>

#include "base/clock.h"

namespace tavikrec {

struct CapturedBlock {
  Ticks stamp;  // capture time of the first sample (even when there is none)
  // 16 kHz mono samples, possibly none. The storage belongs to the caller,
  // which reuses it for the next block: consumers copy what they keep.
  std::span<const std::int16_t> samples;
  // The first block of a device the stream switched to: it has no jitter of
  // its own for the stamp tolerance to absorb (see Framer::append_block).
  bool opens_device = false;
};

}  // namespace tavikrec
