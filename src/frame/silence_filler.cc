#include "frame/silence_filler.h"

#include "base/clock.h"
#include "base/error_text.h"
#include "base/fatal_report.h"

namespace tavikrec {

void run_silence_filler(SharedFramer system_framer, std::shared_ptr<FrameSink> sink,
                        std::shared_ptr<const std::atomic<bool>> stop) {
  std::expected<void, ErrorText> outcome;
  while (!stop->load()) {
    sleep_ticks(kSilenceFillerPeriod);
    std::expected<void, ErrorText> filled;
    {
      auto framer = system_framer->lock();
      filled = framer->fill_silence(monotonic_ticks(), *sink);
    }
    if (!filled) {
      outcome = std::unexpected(frame_write_failure(filled.error()));
      break;
    }
  }
  report_fatal(outcome, *stop);
}

}  // namespace tavikrec
