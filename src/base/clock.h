// The monotonic clock in ticks, the unit of every stamp, and relative sleeps
// on it.
#pragma once

#include "base/units.h"

namespace tavikrec {

// CLOCK_MONOTONIC as seconds * kTicksPerSecond + nanoseconds / kNanosecondsPerTick.
Ticks monotonic_ticks();
// CLOCK_REALTIME in the same unit: only to place instants the sound server
// reports on its wall clock.
Ticks wall_clock_ticks();

// Sleeps `duration` on the monotonic clock; a sleep interrupted by a signal
// goes on for the time that remains.
void sleep_ticks(Ticks duration);

}  // namespace tavikrec
