// The whole frame path under concurrency: two capture-like producers, the
// silence filler and the frame writer into a pipe, stopped in the program's
// order; the reader then checks the stream and that every sample came
// through exactly once, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/clock.h"
#include "frame/frame_writer.h"
#include "frame/silence_filler.h"
#include "pipe_reader.h"
#include "stream_check/stream_summary.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;

struct Produced {
  std::vector<std::int16_t> samples;
  int warnings = 0;
};

// Appends blocks of varying size at about real-time pace, stamped like a
// capture thread does (from a sample clock that starts at the clock minus
// the first block's own duration), with samples that are never zero so that
// padding can be told apart.
void produce(Poisonable<Framer>& framer, FrameSink& sink, int blocks, int first_value, Produced& out) {
  std::vector<std::int16_t> block;
  Ticks next_stamp = 0;
  for (int i = 0; i < blocks; ++i) {
    block.resize(1 + static_cast<std::size_t>(i * 397 % 1000));
    for (std::int16_t& sample : block) {
      sample = static_cast<std::int16_t>(first_value + static_cast<int>(out.samples.size() % 20000));
      out.samples.push_back(sample);
    }
    if (i == 0) next_stamp = monotonic_ticks() - kTicksPerSample * static_cast<Ticks>(block.size());
    const Ticks stamp = next_stamp;
    next_stamp += kTicksPerSample * static_cast<Ticks>(block.size());
    std::expected<Appended, ErrorText> appended;
    {
      auto guard = framer.lock();
      appended = guard->append_block({stamp, block}, sink);
    }
    ASSERT_TRUE(appended) << appended.error();
    if (appended->late_stamp_warning) ++out.warnings;
    std::this_thread::sleep_for(std::chrono::microseconds(62 * static_cast<int>(block.size())));
  }
}

std::vector<std::int16_t> without_zeros(const std::vector<std::int16_t>& samples) {
  std::vector<std::int16_t> out;
  std::copy_if(samples.begin(), samples.end(), std::back_inserter(out), [](std::int16_t s) { return s != 0; });
  return out;
}

TEST(FrameStreamConcurrency, ProducersFillerAndWriterMakeOneSoundStream) {
  Pipe pipe;
  DrainingReader reader(pipe.read_fd());
  // Set back, so that no produced sample, stamped back from the clock, lies
  // before it and is dropped.
  const Ticks epoch = monotonic_ticks() - 100'000;
  auto [sender, receiver] = make_frame_queue();
  std::thread writer(run_frame_writer, std::move(receiver), pipe.write_fd());
  auto sink = std::make_shared<FrameSink>(epoch, std::move(sender));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  SharedFramer mic = make_shared_framer(kMicTag, std::nullopt);
  SharedFramer system = make_shared_framer(kSystemTag, epoch);

  Produced mic_out;
  Produced system_out;
  std::thread mic_thread([mic, sink, &mic_out] { produce(*mic, *sink, 40, 1, mic_out); });
  // The system output plays, falls silent for a while, then plays again.
  // While it is silent the producer says so every 40 ms, as the capture
  // thread does, and rings the filler when there is silence to pad.
  auto bell = std::make_shared<Doorbell>();
  std::thread system_thread([system, sink, bell, &system_out] {
    produce(*system, *sink, 12, -30000, system_out);
    for (int pass = 0; pass < 8; ++pass) {
      std::this_thread::sleep_for(40ms);
      const Ticks now = monotonic_ticks();
      if (system->lock()->note_handed_out(now - 700'000, now)) bell->ring();
    }
    produce(*system, *sink, 12, -30000, system_out);
  });
  std::thread filler(run_silence_filler, std::vector{PaddedChannel{system, sink}}, stop, bell);

  mic_thread.join();
  system_thread.join();
  std::this_thread::sleep_for(200ms);
  stop->store(true);
  bell->ring();
  filler.join();
  for (const SharedFramer& framer : {mic, system}) {
    auto guard = framer->lock();
    ASSERT_TRUE(guard->drain(*sink));
  }
  sink.reset();
  writer.join();
  pipe.close_write();

  auto summary = check_frame_stream(reader.take());
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_EQ(without_zeros(summary->mic().kept_samples), mic_out.samples);
  EXPECT_EQ(without_zeros(summary->system().kept_samples), system_out.samples);
  EXPECT_EQ(summary->system().first_time, 0.0);
  EXPECT_GT(summary->system().samples, system_out.samples.size());
  EXPECT_LE(mic_out.warnings, 1);
  EXPECT_LE(system_out.warnings, 1);
}

}  // namespace
}  // namespace tavikrec
