// The channel timeline: anchoring, what came before the epoch, silence
// padding, late stamps, frame cutting, drain and the silence filler's
// catch-up rule.
#include "frame/framer.h"

#include <gtest/gtest.h>

#include <numeric>

#include "frame/frame_encoder.h"
#include "recorded_frames.h"

namespace tavikrec {
namespace {

constexpr Ticks kEpoch = 1'000'000'000;

std::vector<std::int16_t> ramp(std::size_t count, int start = 1) {
  std::vector<std::int16_t> samples(count);
  std::iota(samples.begin(), samples.end(), static_cast<std::int16_t>(start));
  return samples;
}

std::string late_warning(int tag, const std::string& ms) {
  return "channel " + std::to_string(tag) + " delivered a stamp " + ms +
         " ms behind its own timeline; keeping the sample count as the authority";
}

class FramerTest : public ::testing::Test {
 protected:
  std::vector<DecodedFrame> frames() const { return decode_messages(*recording_); }

  // Appends and expects no sink failure; returns the warning, if any.
  std::optional<std::string> append(Framer& framer, Ticks stamp, std::span<const std::int16_t> samples,
                                    bool opens_device = false) {
    auto outcome = framer.append_block({stamp, samples, opens_device}, sink_);
    EXPECT_TRUE(outcome) << outcome.error();
    return outcome ? outcome->late_stamp_warning : std::nullopt;
  }

  Recording recording_ = std::make_shared<std::vector<FrameMessage>>();
  FrameSink sink_{kEpoch, std::make_unique<RecordingWriter>(recording_)};
};

TEST_F(FramerTest, FirstMicBlockAnchorsTheTimeline) {
  Framer mic(0, std::nullopt);
  EXPECT_EQ(mic.timeline_end(), std::nullopt);
  auto samples = ramp(3200 + 100);
  EXPECT_EQ(append(mic, kEpoch + 1'234'567, samples), std::nullopt);
  auto written = frames();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].tag, 0);
  EXPECT_EQ(written[0].time, frame_time_seconds(kEpoch + 1'234'567, kEpoch));
  EXPECT_EQ(written[0].samples, std::vector<std::int16_t>(samples.begin(), samples.begin() + 3200));
  EXPECT_EQ(mic.pending_samples(), 100u);
  EXPECT_EQ(mic.timeline_end(), kEpoch + 1'234'567 + 3300 * 625);
}

TEST_F(FramerTest, SamplesCapturedBeforeTheEpochAreDropped) {
  // 30 ms early: the first 480 samples go, the rest starts at 0.0, and each
  // frame starts where the previous one ended.
  Framer mic(0, std::nullopt);
  append(mic, kEpoch - 300'000, ramp(480 + 2 * 3200 + 5));
  EXPECT_EQ(mic.timeline_end(), kEpoch + (2 * 3200 + 5) * 625);
  auto written = frames();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].time, 0.0);
  EXPECT_EQ(written[0].samples, ramp(3200, 481));
  EXPECT_EQ(written[1].time, 0.2);

  // A block wholly before the epoch places nothing.
  Framer early(0, std::nullopt);
  append(early, kEpoch - 10 * 625, ramp(10));
  EXPECT_EQ(early.timeline_end(), std::nullopt);

  // The system channel's first block likewise, with no silence before it.
  Framer system(1, kEpoch);
  append(system, kEpoch - 100'000, ramp(170));
  ASSERT_TRUE(system.drain(sink_));
  written = frames();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[2].time, 0.0);
  EXPECT_EQ(written[2].samples, ramp(10, 161));
}

TEST_F(FramerTest, FirstBlockIsPlacedExactlyAtItsStamp) {
  const auto block = ramp(10);
  Framer system(1, kEpoch);
  append(system, kEpoch + 200'000, block);
  EXPECT_EQ(system.pending_samples(), 320u + 10u);
  // Later blocks may stray by the tolerance.
  append(system, kEpoch + 330 * 625 + 200'000, block);
  EXPECT_EQ(system.pending_samples(), 340u);
  EXPECT_EQ(system.timeline_end(), kEpoch + 340 * 625);

  // The silence filler's zeros are no block of the channel's.
  Framer after_silence(1, kEpoch);
  after_silence.note_handed_out(kEpoch + 1'000'625, kEpoch + 1'000'625);
  ASSERT_TRUE(after_silence.fill_silence(kEpoch + 1'000'625, sink_));
  append(after_silence, kEpoch + 625 + 200'000, block);
  EXPECT_EQ(after_silence.pending_samples(), 320u + 10u);
}

TEST_F(FramerTest, LaterGapsBeyondThirtyMillisecondsArePaddedWithTruncatedSilence) {
  const auto block = ramp(10);
  Framer at_tolerance(1, kEpoch);
  append(at_tolerance, kEpoch, block);
  append(at_tolerance, kEpoch + 10 * 625 + 300'000, block);
  EXPECT_EQ(at_tolerance.pending_samples(), 20u);
  EXPECT_EQ(at_tolerance.timeline_end(), kEpoch + 20 * 625);

  Framer beyond(1, kEpoch);
  append(beyond, kEpoch, block);
  append(beyond, kEpoch + 10 * 625 + 300'001, block);
  EXPECT_EQ(beyond.pending_samples(), 10u + 480u + 10u);
  EXPECT_EQ(beyond.timeline_end(), kEpoch + 500 * 625);
  ASSERT_TRUE(beyond.drain(sink_));
  auto written = frames();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].time, 0.0);
  std::vector<std::int16_t> expected = block;
  expected.resize(490, 0);
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(written[0].samples, expected);
}

TEST_F(FramerTest, LongGapGoesOutAsWholeFramesOfSilence) {
  Framer system(1, kEpoch);
  append(system, kEpoch, ramp(100));
  append(system, kEpoch + (100 + 2 * 3200 + 50) * 625, ramp(10));
  auto written = frames();
  ASSERT_EQ(written.size(), 2u);
  std::vector<std::int16_t> first = ramp(100);
  first.resize(3200, 0);
  EXPECT_EQ(written[0].samples, first);
  EXPECT_EQ(written[1].time, 0.2);
  EXPECT_EQ(written[1].samples, std::vector<std::int16_t>(3200, 0));
  EXPECT_EQ(system.pending_samples(), 150u + 10u);
  EXPECT_EQ(system.timeline_end(), kEpoch + (2 * 3200 + 160) * 625);
}

TEST_F(FramerTest, LateStampWarnsOnceAndKeepsEverySample) {
  Framer system(1, kEpoch);
  append(system, kEpoch, ramp(100));
  const Ticks end = kEpoch + 100 * 625;
  EXPECT_EQ(append(system, end - 456'789, ramp(50)), late_warning(1, "46"));
  EXPECT_EQ(append(system, end - 900'000, ramp(60)), std::nullopt);
  EXPECT_EQ(system.pending_samples(), 210u);
  EXPECT_EQ(system.timeline_end(), kEpoch + 210 * 625);
}

TEST_F(FramerTest, LateStampWithinToleranceIsSilent) {
  Framer mic(0, std::nullopt);
  append(mic, kEpoch, ramp(1));
  EXPECT_EQ(append(mic, kEpoch + 625 - 300'000, ramp(1)), std::nullopt);
  EXPECT_EQ(append(mic, kEpoch + 1250 - 300'001, ramp(1)), late_warning(0, "30"));
}

TEST_F(FramerTest, WarningRoundsHalvesToEven) {
  for (auto [behind, text] : {std::pair{305'000, "30"}, {315'000, "32"}, {325'000, "32"}, {325'001, "33"}}) {
    Framer mic(0, std::nullopt);
    append(mic, kEpoch, {});
    EXPECT_EQ(append(mic, kEpoch - behind, {}), late_warning(0, text)) << behind;
  }
}

TEST_F(FramerTest, EmptyBlockAnchorsPadsAndWarns) {
  Framer mic(0, std::nullopt);
  EXPECT_EQ(append(mic, kEpoch + 7'000'000, {}), std::nullopt);
  EXPECT_EQ(mic.timeline_end(), kEpoch + 7'000'000);
  EXPECT_EQ(mic.pending_samples(), 0u);
  append(mic, kEpoch + 8'000'000, {});
  EXPECT_EQ(mic.pending_samples(), 1600u);
  append(mic, kEpoch + 8'000'000, ramp(1600));
  EXPECT_EQ(append(mic, kEpoch + 8'500'000, {}), late_warning(0, "50"));
}

TEST_F(FramerTest, FullFramesOnlyOnTheCapturePath) {
  Framer mic(0, std::nullopt);
  append(mic, kEpoch, ramp(3199));
  EXPECT_TRUE(recording_->empty());
  append(mic, kEpoch + 3199 * 625, ramp(1, 3200));
  EXPECT_EQ(mic.pending_samples(), 0u);
  auto written = frames();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].samples, ramp(3200));

  // One block of two and a half frames: two frames, 200 ms apart.
  append(mic, kEpoch + 2'000'000, ramp(8000));
  written = frames();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[1].time, 0.2);
  EXPECT_EQ(written[2].time, 0.4);
  EXPECT_EQ(mic.pending_samples(), 1600u);
}

TEST_F(FramerTest, DrainWritesTheRestAsOneShortFrame) {
  Framer mic(0, std::nullopt);
  append(mic, kEpoch + 5'000'000, ramp(1500));
  ASSERT_TRUE(mic.drain(sink_));
  auto written = frames();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].time, 0.5);
  EXPECT_EQ(written[0].samples, ramp(1500));
  EXPECT_EQ(mic.pending_samples(), 0u);
  ASSERT_TRUE(mic.drain(sink_));
  EXPECT_EQ(frames().size(), 1u);
}

TEST_F(FramerTest, NothingPendingWritesNothingAtDrain) {
  Framer system(1, kEpoch);
  Framer mic(0, std::nullopt);
  ASSERT_TRUE(system.drain(sink_));
  ASSERT_TRUE(mic.drain(sink_));
  append(mic, kEpoch, ramp(3200));
  ASSERT_TRUE(mic.drain(sink_));
  EXPECT_EQ(frames().size(), 1u);
}

TEST_F(FramerTest, SilenceFillerRuleKeepsTheTimelineOneHundredMillisecondsBehind) {
  Framer system(1, kEpoch);
  EXPECT_FALSE(system.note_handed_out(kEpoch + 100'000'000, kEpoch + 1'000'624));
  ASSERT_TRUE(system.fill_silence(kEpoch + 1'000'624, sink_));
  EXPECT_TRUE(recording_->empty());
  ASSERT_TRUE(system.fill_silence(kEpoch + 1'000'625, sink_));
  EXPECT_EQ(system.timeline_end(), kEpoch + 625);

  // Real samples still pending go out first, followed by the zeros, in one
  // short frame; the lag ends under one sample beyond 100 ms.
  append(system, kEpoch + 625, ramp(100));
  ASSERT_TRUE(system.fill_silence(kEpoch + 101 * 625 + 1'000'000 + 640 * 625 + 624, sink_));
  EXPECT_EQ(system.timeline_end(), kEpoch + 741 * 625);
  auto written = frames();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].samples, std::vector<std::int16_t>(1, 0));
  std::vector<std::int16_t> expected = ramp(100);
  expected.resize(740, 0);
  EXPECT_EQ(written[1].time, 625 / 1e7);
  EXPECT_EQ(written[1].samples, expected);

  // Never beyond what the stream is known to have delivered.
  EXPECT_TRUE(system.note_handed_out(kEpoch + 800 * 625, kEpoch + 100'000'000));
  ASSERT_TRUE(system.fill_silence(kEpoch + 100'000'000, sink_));
  EXPECT_EQ(system.timeline_end(), kEpoch + 800 * 625);

  Framer unanchored(0, std::nullopt);
  unanchored.note_handed_out(kEpoch + 100'000'000, kEpoch + 100'000'000);
  ASSERT_TRUE(unanchored.fill_silence(kEpoch + 100'000'000, sink_));
  EXPECT_EQ(unanchored.pending_samples(), 0u);
}

// The system capture thread as it runs: while the stream flows it appends
// each 40 ms fragment at its true stamp; whenever a pass finds the stream
// empty it notes that everything captured up to 70 ms ago was delivered.
// The filler pads at every chance it gets.
TEST_F(FramerTest, ALateCaptureThreadIsNotTakenForASilentOutput) {
  constexpr Ticks kFragment = 400'000, kNoted = 700'000;
  const auto fragment = ramp(640);
  Framer system(1, kEpoch);
  Ticks captured = kEpoch;  // stamp of the next fragment
  auto flow_until = [&](Ticks now) {
    for (; captured + kFragment <= now; captured += kFragment) append(system, captured, fragment);
    EXPECT_FALSE(system.note_handed_out(now - kNoted, now));
    ASSERT_TRUE(system.fill_silence(now, sink_));
  };
  for (Ticks now = kEpoch + kFragment; now <= kEpoch + 2 * kTicksPerSecond; now += kFragment) flow_until(now + 5'000);

  // The thread is held up for 320 ms: it reads and notes nothing meanwhile.
  const Ticks held_up = kEpoch + 2 * kTicksPerSecond + 5'000;
  for (Ticks now = held_up; now <= held_up + 3'200'000; now += kFragment) {
    ASSERT_TRUE(system.fill_silence(now, sink_));
  }
  flow_until(held_up + 3'200'000);
  flow_until(held_up + 3'600'000);
  EXPECT_EQ(system.timeline_end(), captured) << "neither zeros nor a shift";
  for (const DecodedFrame& frame : frames()) EXPECT_NE(frame.samples.front(), 0) << "at " << frame.time;

  // The output falls silent: the empty stream is noted every 40 ms, and the
  // timeline follows the clock 100 ms behind.
  const Ticks last_audio = captured;
  Ticks now = held_up + 3'600'000;
  for (int pass = 0; pass < 10; ++pass) {
    now += kFragment;
    if (system.note_handed_out(now - kNoted, now)) {
      ASSERT_TRUE(system.fill_silence(now, sink_));
    }
  }
  EXPECT_GE(system.timeline_end(), now - kSilenceLag - kTicksPerSample);
  EXPECT_GT(*system.timeline_end(), last_audio);
}

TEST_F(FramerTest, AfterASwitchTheFillerWaitsAndTheNewDevicesFirstBlockIsPlacedAtItsStamp) {
  Framer system(1, kEpoch);
  append(system, kEpoch, ramp(640));
  system.hold_silence(kEpoch + 5'000'000);
  // Found empty for 300 ms: nothing is padded while the new device's audio
  // is on its way.
  EXPECT_FALSE(system.note_handed_out(kEpoch + 2'300'000, kEpoch + 3'000'000));
  ASSERT_TRUE(system.fill_silence(kEpoch + 3'000'000, sink_));
  // The old device's last fragment was still queued: it is no device's
  // first block and keeps the tolerance, 20 ms late.
  append(system, kEpoch + 608 * 625, ramp(32, 500));
  // The new device's first block reaches 38 ms behind the timeline's end:
  // that much of it is dropped, without a warning, and nothing moves.
  EXPECT_EQ(append(system, kEpoch + 62 * 625, ramp(640, 1000), /*opens_device=*/true), std::nullopt);
  EXPECT_EQ(system.timeline_end(), kEpoch + 702 * 625);
  ASSERT_TRUE(system.drain(sink_));
  std::vector<std::int16_t> expected = ramp(640);
  for (int i = 0; i < 32; ++i) expected.push_back(static_cast<std::int16_t>(500 + i));
  for (int i = 0; i < 30; ++i) expected.push_back(static_cast<std::int16_t>(1000 + 610 + i));
  EXPECT_EQ(frames().back().samples, expected);
  // Once the hold is over, the filler catches up.
  EXPECT_FALSE(system.note_handed_out(kEpoch + 4'300'000, kEpoch + 4'999'999));
  EXPECT_TRUE(system.note_handed_out(kEpoch + 4'300'000, kEpoch + 5'000'000));
  ASSERT_TRUE(system.fill_silence(kEpoch + 5'000'000, sink_));
  EXPECT_EQ(system.timeline_end(), kEpoch + 4'000'000);
}

TEST_F(FramerTest, AfterASwitchEvenAShortGapIsFilled) {
  Framer mic(0, std::nullopt);
  append(mic, kEpoch, ramp(640));
  // 6 ms late: within the tolerance for stamps of one device, but between
  // two devices a real gap.
  append(mic, kEpoch + 740 * 625, ramp(10), /*opens_device=*/true);
  EXPECT_EQ(mic.timeline_end(), kEpoch + 750 * 625);
  append(mic, kEpoch + 760 * 625, ramp(10));
  EXPECT_EQ(mic.timeline_end(), kEpoch + 760 * 625) << "later stamps keep their tolerance";
}

// A stalled server: the filler padded the stretch as silence, then the
// output hands over what it did not play. That audio cannot be put back;
// left behind the zeros it would keep the channel seconds ahead for good.
TEST_F(FramerTest, AudioThatComesLateForZerosAlreadyWrittenIsDropped) {
  Framer system(1, kEpoch);
  append(system, kEpoch, ramp(640));
  ASSERT_TRUE(system.note_handed_out(kEpoch + 20'000'000, kEpoch + 21'000'000));
  ASSERT_TRUE(system.fill_silence(kEpoch + 21'000'000, sink_));
  ASSERT_EQ(system.timeline_end(), kEpoch + 20'000'000);
  // 1.1 s of it from 1 s on: only its last 100 ms lie past the zeros.
  EXPECT_EQ(append(system, kEpoch + 10'000'000, ramp(17600)), std::nullopt);
  EXPECT_EQ(system.timeline_end(), kEpoch + 21'000'000);
  ASSERT_TRUE(system.drain(sink_));
  EXPECT_EQ(frames().back().samples, ramp(1600, 16001));
  // Stamps that merely jitter after real audio keep the sample count.
  append(system, kEpoch + 21'000'000 - 20 * kTicksPerMillisecond, ramp(320));
  EXPECT_EQ(system.timeline_end(), kEpoch + 21'000'000 + 320 * 625);
  // But even a stamp that lies only 20 ms into zeros loses what they cover:
  // kept whole, it would leave the timeline ahead of the stamps, and a later
  // block a little further behind would be reported late for audio that was
  // in fact dropped.
  ASSERT_TRUE(system.note_handed_out(kEpoch + 30'000'000, kEpoch + 31'000'000));
  ASSERT_TRUE(system.fill_silence(kEpoch + 31'000'000, sink_));
  append(system, kEpoch + 30'000'000 - 20 * kTicksPerMillisecond, ramp(640));
  EXPECT_EQ(system.timeline_end(), kEpoch + 30'000'000 + 320 * 625);
  EXPECT_EQ(append(system, kEpoch + 30'000'000 - 30 * kTicksPerMillisecond, ramp(640)), std::nullopt);

  // Zeros written for a gap count alike, on either channel: a server that
  // stalled may stamp what it hands over back into the stretch the first
  // block after it filled (a reply with the relation from before).
  Framer mic(0, std::nullopt);
  append(mic, kEpoch, ramp(640));
  append(mic, kEpoch + 5'000'000, ramp(640));
  EXPECT_EQ(append(mic, kEpoch + 640 * 625, ramp(640)), std::nullopt);
  EXPECT_EQ(mic.timeline_end(), kEpoch + 5'000'000 + 640 * 625);
  // Behind the timeline but not into zeros, the sample count stays the
  // authority, and says so.
  EXPECT_EQ(append(mic, kEpoch + 5'000'000, ramp(640)), late_warning(0, "40"));
  EXPECT_EQ(mic.timeline_end(), kEpoch + 5'000'000 + 1280 * 625);
}

TEST(FramerFailure, AFailedWriteKeepsEverythingPendingAndReportsOnlyTheFailure) {
  auto [sender, receiver] = make_frame_queue();
  FrameSink sink(kEpoch, std::move(sender));
  { FrameReceiver gone = std::move(receiver); }
  Framer mic(0, std::nullopt);
  ASSERT_TRUE(mic.append_block({kEpoch, ramp(3000)}, sink));
  auto late = mic.append_block({kEpoch - 1'000'000, ramp(7000)}, sink);
  EXPECT_EQ(late, std::unexpected(std::string("frame writer stopped")));
  EXPECT_EQ(mic.pending_samples(), 10'000u);
  EXPECT_EQ(mic.drain(sink), std::unexpected(std::string("frame writer stopped")));
  EXPECT_EQ(mic.pending_samples(), 10'000u);
  // Nor is a gap's silence lost.
  EXPECT_FALSE(mic.append_block({*mic.timeline_end() + 1'000'000, ramp(5)}, sink));
  EXPECT_EQ(mic.pending_samples(), 10'000u + 1600u + 5u);
  EXPECT_EQ(mic.timeline_end(), kEpoch + 11'605 * 625);
}

}  // namespace
}  // namespace tavikrec
