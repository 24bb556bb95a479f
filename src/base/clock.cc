#include "base/clock.h"

#include <time.h>

#include <cerrno>

namespace tavikrec {

namespace {

Ticks ticks_of(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<Ticks>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / kNanosecondsPerTick;
}

}  // namespace

Ticks monotonic_ticks() { return ticks_of(CLOCK_MONOTONIC); }

Ticks wall_clock_ticks() { return ticks_of(CLOCK_REALTIME); }

void sleep_ticks(Ticks duration) {
  timespec remaining{static_cast<time_t>(duration / kTicksPerSecond),
                     static_cast<long>(duration % kTicksPerSecond * kNanosecondsPerTick)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}

}  // namespace tavikrec
