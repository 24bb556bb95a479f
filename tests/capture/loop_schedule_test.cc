// The capture loop's own deadlines and the pacing of reopened streams, with
// a controlled clock.
#include "capture/loop_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "capture/reopen_pacing.h"
#include "capture/reopen_verdict.h"
#include "frame/frame_format.h"
#include "frame/framer.h"

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

// Counts the frames written, for a channel whose samples do not matter.
class FrameCounter final : public ByteWriter {
 public:
  explicit FrameCounter(std::size_t& frames) : frames_(frames) {}
  void write(std::span<const std::byte>) override {}
  std::expected<void, ErrorText> flush() override {
    ++frames_;
    return {};
  }

 private:
  std::size_t& frames_;
};

// A microphone whose input goes away overnight: eight hours later a new
// one comes. Meanwhile the channel goes on as silence at the clock's pace,
// so nothing is ever written in a burst or held; and so it does when its
// input merely delivers nothing for long (a stalled server).
TEST(LoopSchedule, AMicrophoneWithoutInputGoesOnAsSilenceAtTheClocksPace) {
  for (bool no_input : {true, false}) {
    SCOPED_TRACE(no_input ? "no input device" : "an input that delivers nothing");
    std::size_t frames = 0, most_at_once = 0;
    FrameSink sink(kStart, std::make_unique<FrameCounter>(frames));
    Framer mic(0, std::nullopt);
    const std::vector<std::int16_t> block(640, 7);
    ASSERT_TRUE(mic.append_block({kStart, block}, sink));
    LoopSchedule schedule(kStart, /*quiet_checks=*/false);
    schedule.audio_read(kStart);
    const Ticks back = kStart + 8 * 3600 * kTicksPerSecond;
    for (Ticks now = kStart + LoopSchedule::kLongestSleep; now < back; now += LoopSchedule::kLongestSleep) {
      const std::size_t before = frames;
      if (schedule.leaves_silence(now, no_input)) {
        mic.note_handed_out(now - BlockStamper::kHandOutAllowance, now);
        ASSERT_TRUE(mic.fill_silence(now, sink));
      }
      most_at_once = std::max(most_at_once, frames - before);
      ASSERT_LT(mic.pending_samples(), kFullFrameSamples);
    }
    const std::size_t before = frames;
    ASSERT_TRUE(mic.append_block({back, block, /*opens_device=*/true}, sink));
    most_at_once = std::max(most_at_once, frames - before);
    EXPECT_LE(most_at_once, 10u) << "an absence written at once";
    EXPECT_GE(frames, 8u * 3600 * 5 - 1) << "frames that did not come as time passed";
  }
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

TEST(ReopenVerdict, AttachesOnceTheClockAnswersGivesUpAtTheLimitAndNeverWaitsForThePast) {
  using enum ReopenVerdict::Action;
  const Ticks past_limit = kStart + kReadyLimit + 1;
  EXPECT_EQ(judge_reopened_stream(StreamPhase::Ready, true, kStart + kMs, kStart), ReopenVerdict{Attach});
  EXPECT_EQ(judge_reopened_stream(StreamPhase::Failed, false, kStart + kMs, kStart), ReopenVerdict{GiveUp});
  // Running without a timing reply counts as not there yet: a stalled
  // server may never send one.
  for (StreamPhase phase : {StreamPhase::Starting, StreamPhase::Ready}) {
    EXPECT_EQ(judge_reopened_stream(phase, false, kStart + kReadyLimit, kStart), (ReopenVerdict{Wait, past_limit}));
    EXPECT_EQ(judge_reopened_stream(phase, false, past_limit, kStart), ReopenVerdict{GiveUp});
  }
  // The loop sleeps until the instant it is told; one already past would
  // make it poll without sleeping, and the next look must settle it.
  for (StreamPhase phase : {StreamPhase::Starting, StreamPhase::Ready, StreamPhase::Failed}) {
    for (bool replied : {false, true}) {
      for (Ticks now : {kStart, kStart + kReadyLimit, past_limit, kStart + 60 * kTicksPerSecond}) {
        const ReopenVerdict verdict = judge_reopened_stream(phase, replied, now, kStart);
        if (verdict.action != Wait) continue;
        const auto phase_number = static_cast<int>(phase);
        EXPECT_GT(verdict.look_again_at, now) << phase_number << replied << now - kStart;
        EXPECT_NE(judge_reopened_stream(phase, replied, verdict.look_again_at, kStart).action, Wait)
            << phase_number << replied << now - kStart;
      }
    }
  }
}

}  // namespace
}  // namespace tavikrec
