#include "base/clock.h"

#include <time.h>

#include <cerrno>

namespace tavikrec {

Ticks monotonic_ticks() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Ticks>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100;
}

void sleep_nanoseconds(std::int64_t nanoseconds) {
  timespec remaining{static_cast<time_t>(nanoseconds / 1'000'000'000), static_cast<long>(nanoseconds % 1'000'000'000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}

}  // namespace tavikrec
