#include "frame/silence_filler.h"

#include <optional>
#include <string>

#include "base/clock.h"
#include "base/fatal_report.h"

namespace tavikrec {

void run_silence_filler(SharedFramer system_framer, std::shared_ptr<FrameSink> sink,
                        std::shared_ptr<const std::atomic<bool>> stop) {
  std::optional<std::string> failure;
  while (!stop->load()) {
    sleep_nanoseconds(kSilenceFillerPeriodNanoseconds);
    std::expected<void, std::string> filled;
    {
      auto framer = system_framer->lock();
      filled = framer->fill_silence(monotonic_ticks(), *sink);
    }
    if (!filled) {
      failure = "could not write frames (" + filled.error() + ")";
      break;
    }
  }
  report_fatal(failure, *stop);
}

}  // namespace tavikrec
