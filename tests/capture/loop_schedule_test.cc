// The capture loop's own deadlines and the pacing of reopened streams, with
// a controlled clock.
#include "capture/loop_schedule.h"

#include <gtest/gtest.h>

#include "capture/reopen_pacing.h"

namespace tavikrec {
namespace {

constexpr Ticks kMs = kTicksPerMillisecond;
constexpr Ticks kStart = 1'000'000'000;

TEST(LoopSchedule, WakesForTheNearestDeadlineAndChecksQuietOnlyOnceAudioIsOverdue) {
  LoopSchedule schedule(kStart, /*quiet_checks=*/true);
  schedule.audio_read(kStart);
  // Audio flows: the next quiet check waits for a fragment to be overdue.
  EXPECT_EQ(schedule.next_wake(kStart, std::nullopt, std::nullopt, std::nullopt),
            kStart + BlockStamper::kHandOutAllowance);
  // Long silent: a quiet check every fragment's time.
  EXPECT_EQ(schedule.next_wake(kStart + 500 * kMs, std::nullopt, std::nullopt, std::nullopt),
            kStart + 500 * kMs + LoopSchedule::kQuietPeriod);
  // Every deadline counts: the stall limit, held audio, a reopen.
  for (int which = 0; which < 3; ++which) {
    std::optional<Ticks> deadlines[3];
    deadlines[which] = kStart + 10 * kMs;
    EXPECT_EQ(schedule.next_wake(kStart, deadlines[0], deadlines[1], deadlines[2]), kStart + 10 * kMs) << which;
  }

  LoopSchedule microphone(kStart, /*quiet_checks=*/false);
  EXPECT_EQ(microphone.next_wake(kStart, std::nullopt, std::nullopt, std::nullopt), kStart + LoopSchedule::kLongestSleep);
  EXPECT_EQ(microphone.next_wake(kStart + 900 * kMs, std::nullopt, std::nullopt, std::nullopt),
            kStart + LoopSchedule::kTimingRequestInterval);
  EXPECT_FALSE(microphone.timing_due(kStart + 899 * kMs, false));
  EXPECT_TRUE(microphone.timing_due(kStart + 900 * kMs, false));
  EXPECT_TRUE(microphone.timing_due(kStart + kMs, /*read_unsettled_audio=*/true));
}

TEST(ReopenPacing, TriesAtOnceThenBacksOffWhileAttemptsFailAndStopsWhenAStreamRuns) {
  ReopenPacing pacing;
  EXPECT_EQ(pacing.due(), std::nullopt);
  pacing.stream_lost(kStart);
  EXPECT_TRUE(pacing.due_by(kStart));
  Ticks now = kStart;
  std::vector<Ticks> pauses;
  for (int attempt = 0; attempt < 7; ++attempt) {
    pacing.attempt_failed(now);
    pauses.push_back(*pacing.due() - now);
    now = *pacing.due();
  }
  EXPECT_EQ(pauses, (std::vector<Ticks>{250 * kMs, 500 * kMs, 1000 * kMs, 2000 * kMs, 4000 * kMs, 4000 * kMs,
                                        4000 * kMs}));
  pacing.stream_running();
  EXPECT_FALSE(pacing.due_by(now + 60 * kTicksPerSecond));
  // Lost again: at once, and the pause starts short again.
  pacing.stream_lost(now);
  pacing.attempt_failed(now);
  EXPECT_EQ(*pacing.due() - now, 250 * kMs);
  // A new default is tried at once, not after the pause.
  pacing.attempt_failed(now);
  pacing.default_changed(now + kMs);
  EXPECT_TRUE(pacing.due_by(now + kMs));
  pacing.stream_running();
  pacing.default_changed(now + 2 * kMs);
  EXPECT_EQ(pacing.due(), std::nullopt) << "nothing to reopen";
}

}  // namespace
}  // namespace tavikrec
