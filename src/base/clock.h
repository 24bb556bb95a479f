// The monotonic clock in ticks (100 ns), the unit of every stamp, and
// relative sleeps on it.
#pragma once

#include <cstdint>

namespace tavikrec {

using Ticks = std::int64_t;

inline constexpr Ticks kTicksPerSecond = 10'000'000;

// CLOCK_MONOTONIC as seconds * 10,000,000 + nanoseconds / 100.
Ticks monotonic_ticks();

// Sleeps `nanoseconds` on the monotonic clock; a sleep interrupted by a
// signal goes on for the time that remains.
void sleep_nanoseconds(std::int64_t nanoseconds);

}  // namespace tavikrec
