#include "capture/stall_watch.h"

#include <gtest/gtest.h>

namespace tavikrec {
namespace {

constexpr Ticks kSecond = kTicksPerSecond;
constexpr Ticks kCycle = 5 * kSecond / 1000;  // the loop's 5 ms

// Runs empty cycles every 5 ms from `from` (exclusive) up to `to`.
void idle_cycles(StallWatch& watch, Ticks from, Ticks to) {
  for (Ticks t = from + kCycle; t <= to; t += kCycle) watch.begin_cycle(t);
}

TEST(StallWatch, StallsAfterFiveWholeSecondsWithoutData) {
  StallWatch watch(0);
  idle_cycles(watch, 0, 5 * kSecond - 1);
  EXPECT_FALSE(watch.stalled(5 * kSecond - 1));
  EXPECT_TRUE(watch.stalled(5 * kSecond));
}

TEST(StallWatch, DataAndHolesRestartTheCount) {
  StallWatch watch(0);
  idle_cycles(watch, 0, 4 * kSecond);
  watch.data_arrived(4 * kSecond);
  idle_cycles(watch, 4 * kSecond, 8 * kSecond);
  EXPECT_FALSE(watch.stalled(8 * kSecond));
  EXPECT_TRUE(watch.stalled(9 * kSecond));
}

TEST(StallWatch, TimeTheLoopDidNotRunIsNotSilence) {
  StallWatch watch(0);
  idle_cycles(watch, 0, 3 * kSecond);
  // The machine sleeps for a minute: the first cycle after it resets.
  watch.begin_cycle(63 * kSecond);
  EXPECT_FALSE(watch.stalled(63 * kSecond));
  idle_cycles(watch, 63 * kSecond, 67 * kSecond);
  EXPECT_FALSE(watch.stalled(67 * kSecond));
  EXPECT_TRUE(watch.stalled(68 * kSecond));
  // A gap just under a second does not reset; exactly one second does.
  StallWatch short_gap(0);
  for (Ticks t = kSecond - 1; t < 5 * kSecond; t += kSecond - 1) short_gap.begin_cycle(t);
  EXPECT_TRUE(short_gap.stalled(5 * kSecond));
  StallWatch full_gap(0);
  full_gap.begin_cycle(4 * kSecond);
  full_gap.begin_cycle(5 * kSecond);
  EXPECT_FALSE(full_gap.stalled(5 * kSecond));
  // A clock that seems to go backwards never resets.
  StallWatch backwards(10 * kSecond);
  backwards.begin_cycle(8 * kSecond);
  EXPECT_TRUE(backwards.stalled(15 * kSecond));
}

}  // namespace
}  // namespace tavikrec
