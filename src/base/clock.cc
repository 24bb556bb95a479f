#include "base/clock.h"

#include <time.h>

#include <cerrno>

namespace tavikrec {

Ticks monotonic_ticks() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Ticks>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / kNanosecondsPerTick;
}

void sleep_ticks(Ticks duration) {
  timespec remaining{static_cast<time_t>(duration / kTicksPerSecond),
                     static_cast<long>(duration % kTicksPerSecond * kNanosecondsPerTick)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}

}  // namespace tavikrec
