// The silence filler on a system channel that delivers nothing, with the
// real clock and a stand-in for the system capture thread that rings.
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

TEST(SilenceFiller, PadsWhenRungAndEndsAtTheStop) {
  // The run began two seconds ago and the system stream has delivered
  // nothing since.
  const Ticks epoch = monotonic_ticks() - 2 * kTicksPerSecond;
  auto [sender, receiver] = make_frame_queue();
  auto sink = std::make_shared<FrameSink>(epoch, std::move(sender));
  SharedFramer system = make_shared_framer(1, epoch);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto bell = std::make_shared<Doorbell>();
  std::thread filler(run_silence_filler, std::vector{PaddedChannel{system, sink}}, stop, bell);

  const Ticks noted = monotonic_ticks();
  ASSERT_TRUE(system->lock()->note_handed_out(noted, noted));
  bell->ring();
  while (*system->lock()->timeline_end() == epoch) std::this_thread::yield();
  stop->store(true);
  bell->ring();
  filler.join();

  const Ticks end = *system->lock()->timeline_end();
  EXPECT_EQ(system->lock()->pending_samples(), 0u);
  EXPECT_GE(end, noted - kSilenceLag - kTicksPerSample);
  EXPECT_LE(end, noted);
  sink.reset();
  auto summary = check_frame_stream(receive_all(receiver));
  ASSERT_TRUE(summary) << summary.error();
  const ChannelSummary& written = summary->system();
  EXPECT_EQ(summary->mic().frames, 0u);
  EXPECT_EQ(written.first_time, 0.0);
  EXPECT_EQ(written.peak, 0);
  EXPECT_EQ(static_cast<Ticks>(written.samples) * kTicksPerSample, end - epoch);
}

TEST(SilenceFiller, EndsAtOnceWhenStoppedBeforeItStarts) {
  auto [sender, receiver] = make_frame_queue();
  auto sink = std::make_shared<FrameSink>(0, std::move(sender));
  SharedFramer system = make_shared_framer(1, 0);
  auto stop = std::make_shared<std::atomic<bool>>(true);
  run_silence_filler({{system, sink}}, stop, std::make_shared<Doorbell>());
  EXPECT_EQ(system->lock()->timeline_end(), 0);
  sink.reset();
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

}  // namespace
}  // namespace tavikrec
