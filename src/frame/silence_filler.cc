#include "frame/silence_filler.h"

#include "base/clock.h"
#include "base/error_text.h"
#include "base/fatal_report.h"

namespace tavikrec {

void run_silence_filler(std::vector<PaddedChannel> channels,
                        std::shared_ptr<const std::atomic<bool>> stop, std::shared_ptr<Doorbell> bell) {
  std::expected<void, ErrorText> outcome;
  while (!stop->load()) {
    bell->wait();
    if (stop->load()) break;
    std::expected<void, ErrorText> filled;
    for (const PaddedChannel& channel : channels) {
      filled = channel.framer->lock()->fill_silence(monotonic_ticks(), *channel.sink);
      if (!filled) break;
    }
    if (!filled) {
      outcome = std::unexpected(frame_write_failure(filled.error()));
      break;
    }
  }
  report_fatal(outcome, *stop);
}

}  // namespace tavikrec
