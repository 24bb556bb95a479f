// The silence filler: keeps the system channel's timeline moving while the
// system output delivers nothing, so its frames keep coming about 100 ms
// behind the clock.
#pragma once

#include <atomic>
#include <memory>

#include "frame/frame_sink.h"
#include "frame/framer.h"

namespace tavikrec {

inline constexpr Ticks kSilenceFillerPeriod = 40 * kTicksPerMillisecond;

// Thread body. Every 40 ms (plus the pass's own work) pads the system
// channel's timeline with silence once it lags kSilenceLag plus one sample
// behind the clock, then writes everything pending. Ends quietly once *stop
// is set (checked before the first pass and after every pass). A frame write
// failure goes to report_fatal as "could not write frames ({})", which ends
// the process unless stop is set.
// Throws InternalError on a poisoned framer or sink: run it inside
// run_worker.
void run_silence_filler(SharedFramer system_framer, std::shared_ptr<FrameSink> sink,
                        std::shared_ptr<const std::atomic<bool>> stop);

}  // namespace tavikrec
