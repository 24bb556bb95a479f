// Stamps from the stream's own clock, with a controlled clock: a source
// whose audio at stream position p was captured at kOrigin + p.
#include "capture/block_stamper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "capture/channel_outlet.h"
#include "frame/frame_format.h"

namespace tavikrec {
namespace {

constexpr Ticks kMs = 10'000;
constexpr Ticks kOrigin = 1'000'000'000;
constexpr std::size_t kFragment = 1280;  // 40 ms
const std::vector<std::uint8_t> kFragmentBytes(kFragment, 0x11);

std::int64_t bytes_of(Ticks ticks) { return ticks * 2 / 625; }

// A timing reply taken at `at` from a source exactly on the clock that
// starts at `origin`, when `read` ticks of audio have been read.
TimingReport exact_reply(Ticks at, Ticks read, Ticks latency = 0, Ticks origin = kOrigin) {
  return {at, bytes_of(at - origin - read - latency), latency};
}

// The samples of every frame written, in order, for one channel.
class ChannelRecorder final : public ByteWriter {
 public:
  explicit ChannelRecorder(std::shared_ptr<std::vector<std::int16_t>> samples) : samples_(std::move(samples)) {}
  void write(std::span<const std::byte> bytes) override { frame_.insert(frame_.end(), bytes.begin(), bytes.end()); }
  std::expected<void, ErrorText> flush() override {
    const std::size_t count = (frame_.size() - kHeaderBytes) / 2;
    const std::size_t first = samples_->size();
    samples_->resize(first + count);
    std::memcpy(samples_->data() + first, frame_.data() + kHeaderBytes, count * 2);
    frame_.clear();
    return {};
  }

 private:
  std::shared_ptr<std::vector<std::int16_t>> samples_;
  std::vector<std::byte> frame_;
};

std::vector<Ticks> released_stamps(BlockStamper& stamper, Ticks now, bool flush = false) {
  std::vector<Ticks> stamps;
  while (auto block = stamper.next_block(now, flush)) stamps.push_back(block->stamp);
  return stamps;
}

TEST(StreamClock, LateObservationsLoosenBoundsWithoutMovingTheOrigin) {
  StreamClock clock(/*monitor=*/false);
  clock.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);  // on time
  clock.observe_head(kOrigin + 45 * kMs, 45 * kMs);
  clock.observe_arrival(kOrigin + 400 * kMs, 40 * kMs, 80 * kMs);  // the thread 320 ms late
  clock.observe_head(kOrigin + 500 * kMs, 450 * kMs);              // a reply handled 50 ms late
  EXPECT_EQ(clock.stamp(80 * kMs, kOrigin + 500 * kMs), kOrigin + 80 * kMs);
}

TEST(StreamClock, SettlesOnlyAfterAudioFlowedAndIgnoresTheStandingHeadBeforeIt) {
  StreamClock clock(/*monitor=*/false);
  // Before any audio the server's head stands at 0 while time goes on.
  clock.observe_head(kOrigin - 100 * kMs, 0);
  clock.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
  EXPECT_FALSE(clock.knows(0, kOrigin + 239 * kMs));
  EXPECT_EQ(clock.known_at(0), kOrigin + 240 * kMs);
  EXPECT_TRUE(clock.knows(0, kOrigin + 240 * kMs));
  EXPECT_EQ(clock.stamp(0, kOrigin + 240 * kMs), kOrigin);
}

TEST(StreamClock, MonitorAudioArrivesBeforeItIsPlayedSoOnlyRepliesCount) {
  StreamClock clock(/*monitor=*/true);
  // Each fragment reaches us 40 ms before the output plays it.
  for (Ticks end = 40 * kMs; end <= 400 * kMs; end += 40 * kMs) {
    clock.observe_arrival(kOrigin + end - 40 * kMs, end - 40 * kMs, end);
  }
  EXPECT_FALSE(clock.knows(0, kOrigin + 400 * kMs));
  EXPECT_EQ(clock.stamp(0, kOrigin + 400 * kMs), kOrigin - 40 * kMs) << "the best guess before any reply";
  clock.observe_head(kOrigin + 410 * kMs, 410 * kMs, /*plays_later=*/true);
  EXPECT_TRUE(clock.knows(0, kOrigin + 410 * kMs));
  EXPECT_EQ(clock.stamp(0, kOrigin + 410 * kMs), kOrigin);

  // A server that reports no sink latency (PipeWire) counts a monitor's
  // audio as captured when rendered, before it reaches us: then arrivals
  // bound it too, and replies that run ahead of the clock (PipeWire 0.3
  // after a stall) cannot put stamps in the future.
  for (bool plays_later : {false, true}) {
    StreamClock ahead(/*monitor=*/true);
    ahead.observe_head(kOrigin, 0, plays_later);
    ahead.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
    ahead.observe_head(kOrigin + 300 * kMs, -600 * kMs, plays_later);
    EXPECT_EQ(ahead.stamp(0, kOrigin + 300 * kMs), plays_later ? kOrigin + 900 * kMs : kOrigin) << plays_later;
  }
  // A first reply without a sink latency, then one with: the arrival bounds
  // taken meanwhile are too tight by that latency and go.
  StreamClock late_latency(/*monitor=*/true);
  late_latency.observe_head(kOrigin, 0);
  late_latency.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
  late_latency.observe_head(kOrigin + 300 * kMs, 270 * kMs, /*plays_later=*/true);
  EXPECT_EQ(late_latency.stamp(0, kOrigin + 300 * kMs), kOrigin + 30 * kMs);
}

TEST(StreamClock, AnAudioLossShowsOnceTheTightBoundsLeaveTheWindow) {
  StreamClock clock(/*monitor=*/false);
  clock.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
  // The server dropped 500 ms without counting them: from position 40 ms
  // on, audio was captured 500 ms later than the old relation says.
  const Ticks late_origin = kOrigin + 500 * kMs;
  for (Ticks t = 1; t <= 9; ++t) clock.observe_head(late_origin + t * kTicksPerSecond, t * kTicksPerSecond);
  const Ticks tight_expires = kOrigin + 40 * kMs + StreamClock::kWindow;
  EXPECT_EQ(clock.stamp(0, tight_expires), kOrigin);
  EXPECT_EQ(clock.stamp(0, tight_expires + 1), late_origin);
}

TEST(StreamClock, ASlowSourceIsStampedTrulyOnceItsRateIsKnown) {
  // 500 ppm slow: the audio at position p was captured at kOrigin + p / (1 - 500e-6).
  // The newest arrival bound is the loosest, so until the rate is known the
  // window's oldest rules and stamps run early, by up to 5 ms; a reset
  // forgets the rate. A monitor without replies has no bound but its
  // tightest arrival, which is as old as the stream: the rate counts there
  // too.
  for (bool monitor : {false, true}) {
    SCOPED_TRACE(monitor);
    StreamClock clock(monitor);
    const auto captured = [](Ticks p) { return kOrigin + static_cast<Ticks>(static_cast<double>(p) / (1 - 500e-6)); };
    Ticks end = 40 * kMs;
    const auto flow_until = [&](Ticks seconds) {
      for (; captured(end) < kOrigin + seconds * kTicksPerSecond; end += 40 * kMs) {
        clock.observe_arrival(captured(end), end - 40 * kMs, end);
      }
    };
    flow_until(12);
    EXPECT_FALSE(clock.drift().source_ppm());
    if (!monitor) {
      EXPECT_NEAR(static_cast<double>(clock.stamp(end, captured(end)) - captured(end)), -5 * kMs, kMs / 2);
    }
    flow_until(120);
    ASSERT_TRUE(clock.drift().source_ppm());
    EXPECT_NEAR(*clock.drift().source_ppm(), -500, 1);
    EXPECT_NEAR(static_cast<double>(clock.stamp(end, captured(end)) - captured(end)), 0, kMs / 20);
    clock.reset(end, captured(end));
    EXPECT_FALSE(clock.drift().source_ppm());
  }
}

TEST(StreamClock, ResetKeepsEarlierAudioOnTheOldRelationOnlyOnceItSettled) {
  StreamClock clock(/*monitor=*/false);
  clock.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
  clock.observe_head(kOrigin + 250 * kMs, 250 * kMs);
  clock.reset(80 * kMs, kOrigin + 250 * kMs);  // the stream moved; 40 ms more were in hand
  EXPECT_TRUE(clock.knows(40 * kMs, kOrigin + 250 * kMs));
  EXPECT_EQ(clock.stamp(40 * kMs, kOrigin + 250 * kMs), kOrigin + 40 * kMs);
  // The new source runs 270 ms later; the fragment of the old source read
  // after the move bounds nothing.
  const Ticks moved = kOrigin + 270 * kMs;
  clock.observe_arrival(kOrigin + 300 * kMs, 40 * kMs, 80 * kMs);
  EXPECT_FALSE(clock.knows(80 * kMs, moved + 400 * kMs));
  clock.observe_arrival(moved + 120 * kMs, 80 * kMs, 120 * kMs);
  clock.observe_head(moved + 200 * kMs, 200 * kMs);
  EXPECT_TRUE(clock.knows(80 * kMs, moved + 320 * kMs));
  EXPECT_EQ(clock.stamp(80 * kMs, moved + 320 * kMs), moved + 80 * kMs);

  // A second reset before the first relation's audio has gone out: each
  // keeps its own relation.
  StreamClock twice(/*monitor=*/false);
  twice.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
  twice.observe_head(kOrigin + 250 * kMs, 250 * kMs);
  twice.reset(40 * kMs, kOrigin + 250 * kMs);
  twice.observe_arrival(moved + 80 * kMs, 40 * kMs, 80 * kMs);
  twice.observe_head(moved + 300 * kMs, 300 * kMs);
  twice.reset(80 * kMs, moved + 300 * kMs);
  twice.observe_arrival(moved + 2 * kTicksPerSecond, 80 * kMs, 120 * kMs);
  EXPECT_EQ(twice.stamp(0, moved + 300 * kMs), kOrigin);
  EXPECT_EQ(twice.stamp(40 * kMs, moved + 300 * kMs), moved + 40 * kMs);
  twice.forget_before(40 * kMs);
  EXPECT_EQ(twice.stamp(40 * kMs, moved + 300 * kMs), moved + 40 * kMs);

  // Two resets with nothing observed between them: the audio between the
  // two is not the older relation's.
  clock.reset(200 * kMs, moved + 400 * kMs);
  clock.reset(240 * kMs, moved + 500 * kMs);
  const Ticks again = moved + 2 * kTicksPerSecond;
  clock.observe_arrival(again + 240 * kMs, 200 * kMs, 240 * kMs);
  EXPECT_FALSE(clock.knows(200 * kMs, again + 300 * kMs));
  EXPECT_EQ(clock.stamp(200 * kMs, again + 440 * kMs), again + 200 * kMs);

  // A reset within the settle period: the one bound that arrived before it
  // is not promoted. The old relation's audio waits as it would have, and
  // what of it was still in hand tightens the bound.
  StreamClock early(/*monitor=*/false);
  early.observe_arrival(kOrigin + 90 * kMs, 0, 40 * kMs);  // the thread 50 ms late
  early.reset(60 * kMs, kOrigin + 100 * kMs);               // 20 ms more in hand
  EXPECT_FALSE(early.knows(0, kOrigin + 100 * kMs));
  EXPECT_EQ(early.known_at(0), kOrigin + 290 * kMs) << "nothing more need arrive";
  early.observe_arrival(kOrigin + 100 * kMs, 40 * kMs, 60 * kMs);
  early.observe_arrival(kOrigin + 260 * kMs, 60 * kMs, 100 * kMs);  // the new source runs 160 ms later
  EXPECT_TRUE(early.knows(0, kOrigin + 290 * kMs));
  EXPECT_EQ(early.stamp(0, kOrigin + 290 * kMs), kOrigin + 40 * kMs);
  EXPECT_FALSE(early.knows(60 * kMs, kOrigin + 459 * kMs));
  EXPECT_EQ(early.stamp(60 * kMs, kOrigin + 460 * kMs), kOrigin + 220 * kMs);
}

TEST(StreamClock, AMonitorWithoutRepliesIsStampedByArrivalsAfterASecond) {
  StreamClock clock(/*monitor=*/true);
  clock.observe_arrival(kOrigin + 40 * kMs, 0, 40 * kMs);
  EXPECT_EQ(clock.known_at(0), kOrigin + 40 * kMs + StreamClock::kLongestWait);
  EXPECT_FALSE(clock.knows(0, kOrigin + 40 * kMs + StreamClock::kLongestWait - 1));
  EXPECT_TRUE(clock.knows(0, kOrigin + 40 * kMs + StreamClock::kLongestWait));
  EXPECT_EQ(clock.stamp(0, kOrigin + 2 * kTicksPerSecond), kOrigin);
}

// A server stopped for 8 s: the source produced nothing meanwhile, and its
// audio resumes on a relation 8 s later than the window's tightest bound.
TEST(StreamClock, AudioAfterAStandstillStartsANewRelation) {
  struct Source {
    bool monitor;
    bool plays_later;
  };
  for (Source source : {Source{false, false}, Source{true, false}, Source{true, true}}) {
    StreamClock clock(source.monitor);
    for (Ticks end = 40 * kMs; end <= kTicksPerSecond; end += 40 * kMs) {
      clock.observe_arrival(kOrigin + end, end - 40 * kMs, end);
      clock.observe_head(kOrigin + end, end, source.plays_later);
    }
    const Ticks resumed = kOrigin + 8 * kTicksPerSecond;
    for (Ticks end = kTicksPerSecond + 40 * kMs; end <= kTicksPerSecond + 400 * kMs; end += 40 * kMs) {
      clock.observe_arrival(resumed + end, end - 40 * kMs, end);
      clock.observe_head(resumed + end, end, source.plays_later);
    }
    const std::string which = source.monitor ? (source.plays_later ? "PulseAudio monitor" : "PipeWire monitor") : "input";
    EXPECT_EQ(clock.stamp(kTicksPerSecond - 40 * kMs, resumed + 2 * kTicksPerSecond), kOrigin + 960 * kMs) << which;
    EXPECT_EQ(clock.stamp(kTicksPerSecond, resumed + 2 * kTicksPerSecond), resumed + kTicksPerSecond) << which;
  }
}

// An output's monitor stands still for 300 to 900 ms (a server stopped)
// and goes on where it stopped, on a relation that much later. The silence
// filler padded most of the standstill meanwhile; the audio after it must
// land after those zeros, not be stamped into them and dropped, and when
// the window's tight bounds from before the standstill expire, no zeros
// may appear in flowing audio.
TEST(BlockStamper, AMonitorThatStoodStillGoesOnAfterThePaddedSilenceWithNothingLost) {
  constexpr Ticks kFragmentTime = 40 * kMs, kStep = 10 * kMs, kPausedAt = 5 * kTicksPerSecond;
  const std::vector<std::uint8_t> sound(kFragment, 0x11);
  for (bool plays_later : {true, false}) {
    for (Ticks pause : {300 * kMs, 600 * kMs, 900 * kMs}) {
      SCOPED_TRACE(::testing::Message() << (plays_later ? "PulseAudio" : "PipeWire") << " monitor, "
                                        << pause / kMs << " ms");
      auto written = std::make_shared<std::vector<std::int16_t>>();
      auto sink = std::make_shared<FrameSink>(kOrigin, std::make_unique<ChannelRecorder>(written));
      SharedFramer framer = make_shared_framer(1, kOrigin);
      ChannelOutlet outlet(SourceKind::System, framer, sink);
      BlockStamper stamper(/*monitor=*/true);
      Ticks origin = kOrigin, read = 0;
      for (Ticks now = kOrigin + kStep; now < kOrigin + 20 * kTicksPerSecond; now += kStep) {
        if (now == kOrigin + kPausedAt + pause) origin += pause;
        const bool paused = now >= kOrigin + kPausedAt && now < kOrigin + kPausedAt + pause;
        bool kept = false;
        if (!paused && now - origin - read >= kFragmentTime) {
          stamper.take_audio(sound, now);
          read += kFragmentTime;
          stamper.take_timing({now, bytes_of(now - origin - read), 0, plays_later});
          kept = true;
        }
        ASSERT_TRUE(outlet.release(stamper, now));
        if (kept) continue;
        auto locked = framer->lock();
        if (auto handed_out = outlet.handed_out_until(stamper, now)) locked->note_handed_out(*handed_out, now);
        ASSERT_TRUE(locked->fill_silence(now, *sink));
      }
      ASSERT_TRUE(outlet.release(stamper, kOrigin + 20 * kTicksPerSecond, /*flush=*/true));
      ASSERT_TRUE(framer->lock()->drain(*sink));

      const auto first = std::find_if(written->begin(), written->end(), [](std::int16_t v) { return v != 0; });
      const auto last = std::find_if(written->rbegin(), written->rend(), [](std::int16_t v) { return v != 0; }).base();
      const auto heard = std::count_if(first, last, [](std::int16_t v) { return v != 0; });
      EXPECT_GE(heard, bytes_of(read) / 2 - bytes_of(30 * kMs) / 2) << "real audio lost";
      std::vector<std::ptrdiff_t> zero_runs;
      for (auto at = first; at != last;) {
        const auto end = std::find_if(at, last, [](std::int16_t v) { return v != 0; });
        if (end != at) zero_runs.push_back(end - at);
        at = std::find(end, last, std::int16_t{0});
      }
      ASSERT_EQ(zero_runs.size(), 1u) << "zeros inside flowing audio";
      EXPECT_NEAR(static_cast<double>(zero_runs[0]), static_cast<double>(bytes_of(pause) / 2), static_cast<double>(bytes_of(50 * kMs) / 2));
    }
  }
}

// A drifting microphone's correction holds back the converter's look-ahead;
// when the stream then moves (or is killed, or stalls) and goes quiet, that
// audio goes out at once, before any of the next relation's.
TEST(BlockStamper, WhatTheDriftCorrectionHoldsBackGoesOutWhenTheRelationChanges) {
  const auto captured = [](Ticks p) { return kOrigin + static_cast<Ticks>(static_cast<double>(p) / (1 + 500e-6)); };
  auto sink = std::make_shared<FrameSink>(kOrigin, std::make_unique<ChannelRecorder>(
                                                       std::make_shared<std::vector<std::int16_t>>()));
  SharedFramer framer = make_shared_framer(0, std::nullopt);
  ChannelOutlet outlet(SourceKind::Mic, framer, sink);
  BlockStamper stamper(/*monitor=*/false);
  Ticks end = 0;
  for (; captured(end) < kOrigin + 60 * kTicksPerSecond; end += 40 * kMs) {
    stamper.take_audio(kFragmentBytes, captured(end + 40 * kMs));
    ASSERT_TRUE(outlet.release(stamper, captured(end + 40 * kMs)));
  }
  ASSERT_TRUE(stamper.drift().source_ppm());
  const Ticks held_until = *framer->lock()->timeline_end();
  stamper.reset(0, /*new_device=*/true, captured(end));
  ASSERT_TRUE(outlet.release(stamper, captured(end)));
  EXPECT_GT(*framer->lock()->timeline_end() - held_until, 10 * kTicksPerSample);
}

pa_timing_info reply_info(std::int64_t write_index, std::int64_t read_index, pa_usec_t source, pa_usec_t sink) {
  pa_timing_info info{};
  info.synchronized_clocks = 1;
  info.timestamp = {1'700'000'000, 500'000};
  info.playing = 1;
  info.write_index = write_index;
  info.read_index = read_index;
  info.source_usec = source;
  info.sink_usec = sink;
  return info;
}

TEST(TimingReport, PlacesTheServersSnapshotOnTheMonotonicClock) {
  const Ticks wall_snapshot = 1'700'000'000 * kTicksPerSecond + 500'000 * 10;
  pa_timing_info monitor = reply_info(9000, 8000, 2000, 30'000);
  auto report = timing_report(monitor, kOrigin, wall_snapshot + 3 * kMs);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->at, kOrigin - 3 * kMs);
  EXPECT_EQ(report->unread_bytes, 1000);
  EXPECT_EQ(report->head_latency, -28 * kMs);
  EXPECT_TRUE(report->plays_later);
  EXPECT_FALSE(timing_report(reply_info(9000, 8000, 2000, 0), kOrigin, wall_snapshot)->plays_later);

  // A wall clock that stepped since the snapshot, or clocks the server does
  // not share: the instant of handling, a looser bound.
  EXPECT_EQ(timing_report(monitor, kOrigin, wall_snapshot - kMs)->at, kOrigin);
  EXPECT_EQ(timing_report(monitor, kOrigin, wall_snapshot + 2 * kTicksPerSecond)->at, kOrigin);
  monitor.synchronized_clocks = 0;
  EXPECT_EQ(timing_report(monitor, kOrigin, wall_snapshot + 3 * kMs)->at, kOrigin);

  pa_timing_info stopped = reply_info(9000, 8000, 0, 0);
  stopped.playing = 0;
  EXPECT_EQ(timing_report(stopped, kOrigin, wall_snapshot), std::nullopt);
  pa_timing_info corrupt = reply_info(9000, 8000, 0, 0);
  corrupt.read_index_corrupt = 1;
  EXPECT_EQ(timing_report(corrupt, kOrigin, wall_snapshot), std::nullopt);
}

TEST(BlockStamper, HoldsAudioUntilTheClockSettlesThenReleasesItInOrder) {
  BlockStamper stamper(/*monitor=*/true);
  Ticks read = 0;
  for (int i = 1; i <= 6; ++i) {
    const Ticks now = kOrigin + i * 40 * kMs;
    stamper.take_audio(kFragmentBytes, now);
    read += 40 * kMs;
    stamper.take_timing(exact_reply(now + kMs, read));
    EXPECT_EQ(stamper.handed_out_until(now), std::nullopt) << "audio is held";
    if (i < 6) {
      EXPECT_TRUE(released_stamps(stamper, now).empty()) << i;
    }
  }
  EXPECT_EQ(stamper.release_at(), kOrigin + 240 * kMs);
  EXPECT_EQ(released_stamps(stamper, kOrigin + 240 * kMs),
            (std::vector<Ticks>{kOrigin, kOrigin + 40 * kMs, kOrigin + 80 * kMs, kOrigin + 120 * kMs,
                                kOrigin + 160 * kMs, kOrigin + 200 * kMs}));
  // From now on a block goes out as it comes, however late it is read: a
  // late thread reads up to what has just arrived, which tells it from a
  // source that stood still.
  stamper.take_audio(kFragmentBytes, kOrigin + 600 * kMs);
  EXPECT_TRUE(released_stamps(stamper, kOrigin + 600 * kMs).empty());
  for (int i = 0; i < 8; ++i) stamper.take_audio(kFragmentBytes, kOrigin + 600 * kMs);
  EXPECT_EQ(released_stamps(stamper, kOrigin + 600 * kMs).size(), 9u);

  // A late fragment that nothing follows: a source that stood still and
  // stopped again. Its audio never waits for ever (nor keeps the silence
  // filler waiting): after kStandstillProof it starts a relation of its own.
  BlockStamper stopped(/*monitor=*/false);
  for (Ticks end = 40 * kMs; end <= 400 * kMs; end += 40 * kMs) stopped.take_audio(kFragmentBytes, kOrigin + end);
  ASSERT_EQ(released_stamps(stopped, kOrigin + 600 * kMs).size(), 10u);
  const Ticks late = kOrigin + 740 * kMs;  // 300 ms after it was captured
  stopped.take_audio(kFragmentBytes, late);
  EXPECT_EQ(stopped.release_at(), late + StreamClock::kStandstillProof);
  EXPECT_TRUE(released_stamps(stopped, late + StreamClock::kStandstillProof).empty());
  EXPECT_EQ(released_stamps(stopped, late + StreamClock::kSettleTime),
            std::vector<Ticks>{late - 40 * kMs});
  EXPECT_TRUE(stopped.handed_out_until(late + StreamClock::kSettleTime));
}

TEST(BlockStamper, AHoleMovesTheNextStampOnAndOddReadsKeepTheirPlace) {
  BlockStamper stamper(/*monitor=*/false);
  stamper.take_audio(kFragmentBytes, kOrigin + 40 * kMs);
  EXPECT_EQ(released_stamps(stamper, kOrigin + 40 * kMs, /*flush=*/true), std::vector<Ticks>{kOrigin});
  stamper.take_hole(static_cast<std::size_t>(bytes_of(100 * kMs)));
  // 141 ms of audio read at once after the hole, in two odd pieces.
  const std::vector<std::uint8_t> odd(2001, 0x22);
  const std::vector<std::uint8_t> rest(4511 - 2001, 0x22);
  stamper.take_audio(odd, kOrigin + 280 * kMs);
  stamper.take_audio(rest, kOrigin + 282 * kMs);
  EXPECT_EQ(released_stamps(stamper, kOrigin + 282 * kMs),
            (std::vector<Ticks>{kOrigin + 140 * kMs, kOrigin + 140 * kMs + 1000 * 625}));
}

TEST(BlockStamper, HandedOutUntilAllowsTheLatencyAFragmentAndAMargin) {
  BlockStamper stamper(/*monitor=*/false);
  stamper.take_audio(kFragmentBytes, kOrigin + 40 * kMs);
  stamper.take_timing(exact_reply(kOrigin + 50 * kMs, 40 * kMs, 25 * kMs));
  EXPECT_EQ(stamper.handed_out_until(kOrigin + 60 * kMs), std::nullopt);
  released_stamps(stamper, kOrigin + 60 * kMs, /*flush=*/true);
  EXPECT_EQ(stamper.handed_out_until(kOrigin + 300 * kMs), kOrigin + 300 * kMs - 25 * kMs - 70 * kMs);

  // A block that comes later than that (a server that stopped a moment
  // hands out late for seconds) holds the claim back by how late it came,
  // and the margin, for kLateWindow.
  BlockStamper late(/*monitor=*/false);
  late.take_audio(kFragmentBytes, kOrigin + 40 * kMs);
  late.take_timing(exact_reply(kOrigin + 50 * kMs, 40 * kMs, 25 * kMs));
  released_stamps(late, kOrigin + 60 * kMs, /*flush=*/true);
  late.take_audio(kFragmentBytes, kOrigin + 145 * kMs);
  ASSERT_EQ(released_stamps(late, kOrigin + 145 * kMs, /*flush=*/true), std::vector<Ticks>{kOrigin + 40 * kMs});
  EXPECT_EQ(late.handed_out_until(kOrigin + 180 * kMs), kOrigin + 180 * kMs - 105 * kMs - 30 * kMs)
      << "the next block, from kOrigin + 80 ms on, has not come";
  const Ticks later = kOrigin + 145 * kMs + BlockStamper::kLateWindow + 1;
  EXPECT_EQ(late.handed_out_until(later), later - 25 * kMs - 70 * kMs);
}

TEST(BlockStamper, ResetAfterASuspendWaitsForTheNewRelation) {
  BlockStamper stamper(/*monitor=*/true);
  stamper.take_audio(kFragmentBytes, kOrigin + 40 * kMs);
  stamper.take_timing(exact_reply(kOrigin + 250 * kMs, 40 * kMs));
  EXPECT_EQ(released_stamps(stamper, kOrigin + 250 * kMs), std::vector<Ticks>{kOrigin});
  stamper.reset(0, /*new_device=*/false, kOrigin + 300 * kMs);  // suspended
  // Resumed after 2 s: the same positions now run 2 s later.
  stamper.reset(0, /*new_device=*/false, kOrigin + 2 * kTicksPerSecond);
  const Ticks resumed = kOrigin + 2 * kTicksPerSecond;
  stamper.take_audio(kFragmentBytes, resumed + 80 * kMs);
  stamper.take_timing(exact_reply(resumed + 90 * kMs, 80 * kMs, 0, resumed));
  EXPECT_TRUE(released_stamps(stamper, resumed + 200 * kMs).empty());
  EXPECT_EQ(released_stamps(stamper, resumed + 280 * kMs), std::vector<Ticks>{resumed + 40 * kMs});
}

// The old device's last fragment may still be queued when the stream moves:
// the block that opens the new device is the one at the move's position.
TEST(BlockStamper, AMoveMarksTheFirstBlockOfTheNewDevice) {
  BlockStamper stamper(/*monitor=*/false);
  stamper.take_audio(kFragmentBytes, kOrigin + 40 * kMs);
  stamper.take_timing(exact_reply(kOrigin + 250 * kMs, 40 * kMs));
  ASSERT_EQ(released_stamps(stamper, kOrigin + 250 * kMs).size(), 1u);
  stamper.reset(kFragment, /*new_device=*/true, kOrigin + 250 * kMs);
  stamper.take_audio(kFragmentBytes, kOrigin + 260 * kMs);
  auto old_fragment = stamper.next_block(kOrigin + 260 * kMs);
  ASSERT_TRUE(old_fragment);
  EXPECT_FALSE(old_fragment->opens_device);
  for (Ticks at = 300 * kMs; at <= 600 * kMs; at += 40 * kMs) stamper.take_audio(kFragmentBytes, kOrigin + at);
  std::vector<bool> opens;
  while (auto block = stamper.next_block(kOrigin + 600 * kMs)) opens.push_back(block->opens_device);
  ASSERT_FALSE(opens.empty());
  EXPECT_TRUE(opens.front());
  EXPECT_EQ(std::count(opens.begin(), opens.end(), true), 1);

  // Moved twice before the first device's audio went out: each device's
  // first block opens it.
  stamper.reset(0, /*new_device=*/true, kOrigin + 600 * kMs);
  stamper.take_audio(kFragmentBytes, kOrigin + 610 * kMs);
  stamper.reset(0, /*new_device=*/true, kOrigin + 620 * kMs);
  for (Ticks at = 640 * kMs; at <= 1200 * kMs; at += 40 * kMs) stamper.take_audio(kFragmentBytes, kOrigin + at);
  opens.clear();
  while (auto block = stamper.next_block(kOrigin + 1200 * kMs, /*flush=*/true)) opens.push_back(block->opens_device);
  ASSERT_GE(opens.size(), 2u);
  EXPECT_TRUE(opens[0]);
  EXPECT_TRUE(opens[1]);
  EXPECT_EQ(std::count(opens.begin(), opens.end(), true), 2);
}

}  // namespace
}  // namespace tavikrec
