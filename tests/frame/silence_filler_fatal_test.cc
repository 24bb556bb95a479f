// The silence filler's failure path ends the process with a FATAL line.
#include <gtest/gtest.h>

#include "base/clock.h"
#include "frame/silence_filler.h"

namespace tavikrec {
namespace {

TEST(SilenceFillerDeathTest, FrameWriterGoneIsFatalWhileRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run_without_writer = [] {
    auto [sender, receiver] = make_frame_queue();
    { FrameReceiver gone = std::move(receiver); }
    auto sink = std::make_shared<FrameSink>(0, std::move(sender));
    // Anchored 200 ms ago and rung: the first pass has silence to write.
    const Ticks now = monotonic_ticks();
    SharedFramer system = make_shared_framer(1, now - 2'000'000);
    system->lock()->note_handed_out(now, now);
    auto bell = std::make_shared<Doorbell>();
    bell->ring();
    run_silence_filler({{system, sink}}, std::make_shared<std::atomic<bool>>(false), bell);
  };
  EXPECT_EXIT(run_without_writer(), ::testing::ExitedWithCode(1),
              "tavikrec: FATAL: could not write frames \\(frame writer stopped\\)");
}

}  // namespace
}  // namespace tavikrec
