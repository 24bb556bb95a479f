// The silence filler on a system channel that delivers nothing, with the
// real clock.
#include "frame/silence_filler.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/clock.h"
#include "stream_check/stream_summary.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;

std::vector<std::byte> receive_all(FrameReceiver& receiver) {
  std::vector<std::byte> stream;
  while (auto message = receiver.receive()) stream.insert(stream.end(), message->begin(), message->end());
  return stream;
}

TEST(SilenceFiller, KeepsASilentSystemChannelMovingBehindTheClock) {
  const Ticks epoch = monotonic_ticks();
  auto [sender, receiver] = make_frame_queue();
  auto sink = std::make_shared<FrameSink>(epoch, std::move(sender));
  SharedFramer system = make_shared_framer(1, epoch);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  std::thread filler(run_silence_filler, system, sink, stop);
  std::this_thread::sleep_for(800ms);
  stop->store(true);
  filler.join();
  const Ticks now = monotonic_ticks();
  const Ticks end = *system->lock()->timeline_end();
  EXPECT_EQ(system->lock()->pending_samples(), 0u);
  // Generous: the last pass left it 100 ms behind, and the clock has moved
  // on since by at most one period plus scheduling delays.
  EXPECT_GE(now - end, kSilenceLag);
  EXPECT_LT(now - end, kSilenceLag + 5'000'000);

  sink.reset();
  auto summary = check_frame_stream(receive_all(receiver));
  ASSERT_TRUE(summary) << summary.error();
  const ChannelSummary& written = summary->system();
  EXPECT_EQ(summary->mic().frames, 0u);
  EXPECT_EQ(written.first_time, 0.0);
  EXPECT_EQ(written.peak, 0);
  EXPECT_EQ(static_cast<Ticks>(written.samples) * kTicksPerSample, end - epoch);
  // About one frame per 40 ms pass; bounded loosely for a busy machine.
  EXPECT_GE(written.frames, 4u);
  EXPECT_LT(written.samples / written.frames, 3200u);
}

TEST(SilenceFiller, EndsAtOnceWhenStoppedBeforeItStarts) {
  auto [sender, receiver] = make_frame_queue();
  auto sink = std::make_shared<FrameSink>(0, std::move(sender));
  SharedFramer system = make_shared_framer(1, 0);
  auto stop = std::make_shared<std::atomic<bool>>(true);
  run_silence_filler(system, sink, stop);
  EXPECT_EQ(system->lock()->timeline_end(), 0);
  sink.reset();
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

}  // namespace
}  // namespace tavikrec
