#include "capture/timing_report.h"

namespace tavikrec {
namespace {

// A snapshot older than this when handled means the wall clock moved.
constexpr Ticks kLongestTransport = kTicksPerSecond;

}  // namespace

std::optional<TimingReport> timing_report(const pa_timing_info& info, Ticks monotonic_now, Ticks wall_now) {
  if (info.write_index_corrupt || info.read_index_corrupt || !info.playing) return std::nullopt;
  Ticks at = monotonic_now;
  if (info.synchronized_clocks) {
    const Ticks stamp = static_cast<Ticks>(info.timestamp.tv_sec) * kTicksPerSecond +
                        static_cast<Ticks>(info.timestamp.tv_usec) * kTicksPerMicrosecond;
    const Ticks age = wall_now - stamp;
    if (age >= 0 && age <= kLongestTransport) at -= age;
  }
  const Ticks head_latency = (static_cast<Ticks>(info.source_usec) - static_cast<Ticks>(info.sink_usec)) *
                             kTicksPerMicrosecond;
  return TimingReport{at, info.write_index - info.read_index, head_latency, info.sink_usec > 0};
}

}  // namespace tavikrec
