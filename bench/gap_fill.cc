// What a long gap costs the capture thread: one append_block after a gap of
// GAP_SECONDS (default 1200), the time it takes under the Framer lock and the
// most heap it holds at once beyond what it started with. Measured twice:
// into a writer that drops the frames (the Framer's own cost), and
// into the frame queue as in the program, where the frames themselves (32 kB
// per second of gap) wait for the frame writer like any other audio.
//   gap_fill [GAP_SECONDS]
#include <malloc.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "frame/frame_format.h"
#include "frame/framer.h"

namespace {

using namespace tavikrec;

std::atomic<long long> live_bytes = 0;
std::atomic<long long> peak_bytes = 0;

class DiscardingWriter final : public ByteWriter {
 public:
  void write(std::span<const std::byte>) override {}
  std::expected<void, std::string> flush() override { return {}; }
};

// A machine shared with other work stretches the wall time; the thread's
// CPU time is what the call itself costs.
double milliseconds_of(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

void measure(const char* into, FrameSink& sink, double gap_seconds) {
  Framer system(kSystemTag, sink.epoch());
  const std::vector<std::int16_t> block(640, 1);  // one 40 ms fragment
  (void)system.append_block({sink.epoch(), block}, sink);
  const Ticks resumed = *system.timeline_end() + static_cast<Ticks>(gap_seconds * kTicksPerSecond);
  const long long before = live_bytes;
  peak_bytes = before;
  const double wall_start = milliseconds_of(CLOCK_MONOTONIC);
  const double cpu_start = milliseconds_of(CLOCK_THREAD_CPUTIME_ID);
  auto appended = system.append_block({resumed, block}, sink);
  const double cpu_ms = milliseconds_of(CLOCK_THREAD_CPUTIME_ID) - cpu_start;
  const double wall_ms = milliseconds_of(CLOCK_MONOTONIC) - wall_start;
  if (!appended) std::exit(1);
  std::printf("gap of %.0f s into %s: %.1f ms (%.1f ms of CPU), peak extra heap %lld bytes\n", gap_seconds, into,
              wall_ms, cpu_ms, peak_bytes - before);
}

}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  long long now = live_bytes += static_cast<long long>(malloc_usable_size(block));
  for (long long peak = peak_bytes; now > peak && !peak_bytes.compare_exchange_weak(peak, now);) {
  }
  return block;
}

void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  live_bytes -= static_cast<long long>(malloc_usable_size(block));
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

int main(int argc, char** argv) {
  const double gap_seconds = argc > 1 ? std::atof(argv[1]) : 1200.0;
  constexpr Ticks kEpoch = 1'000'000'000;
  {
    FrameSink discarding(kEpoch, std::make_unique<DiscardingWriter>());
    measure("a discarding writer", discarding, gap_seconds);
  }
  auto [sender, receiver] = make_frame_queue();
  FrameSink queued(kEpoch, std::move(sender));
  measure("the frame queue", queued, gap_seconds);
  return 0;
}
