// Turns one frame's tag, stamp and samples into its bytes on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/clock.h"

namespace tavikrec {

// The time field: (stamp - epoch) in integer ticks, converted to binary64,
// divided by 10,000,000; a stamp before the epoch gives 0.0.
double frame_time_seconds(Ticks stamp, Ticks epoch);

// REQUIRES: samples.size() <= kMaxFrameSamples.
// Returns exactly frame_bytes(samples.size()) bytes.
std::vector<std::byte> encode_frame(std::uint8_t tag, Ticks stamp, Ticks epoch, std::span<const std::int16_t> samples);

}  // namespace tavikrec
