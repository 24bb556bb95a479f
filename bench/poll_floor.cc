// The least a capture loop polling every 5 ms can cost: threads that do
// nothing but a non-blocking poll and a 5 ms sleep (plus, optionally, one
// thread sleeping 40 ms, like the silence filler). Its CPU time is the floor
// under tavikrec's own, whatever the work done per cycle.
//   poll_floor SECONDS POLLING_THREADS [FILLER_THREADS]
#include <poll.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void cycle_until(double deadline, long period_ns, bool poll_first) {
  while (now_seconds() < deadline) {
    if (poll_first) {
      pollfd none{-1, 0, 0};
      poll(&none, 1, 0);
    }
    const timespec period{0, period_ns};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: poll_floor SECONDS POLLING_THREADS [FILLER_THREADS]\n");
    return 2;
  }
  const double deadline = now_seconds() + std::atof(argv[1]);
  const int polling = std::atoi(argv[2]);
  const int fillers = argc > 3 ? std::atoi(argv[3]) : 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < polling; ++i) threads.emplace_back(cycle_until, deadline, 5'000'000L, true);
  for (int i = 0; i < fillers; ++i) threads.emplace_back(cycle_until, deadline, 40'000'000L, false);
  for (auto& thread : threads) thread.join();
  return 0;
}
