// The silence filler: keeps the system channel's timeline moving while the
// system output delivers nothing, so its frames keep coming about 100 ms
// behind the clock. It sleeps until the system capture thread rings: the
// stream was found empty and the Framer has silence to pad.
#pragma once

#include <atomic>
#include <memory>

#include "base/doorbell.h"
#include "frame/frame_sink.h"
#include "frame/framer.h"

namespace tavikrec {

// Thread body. At every ring of `bell` calls fill_silence on the system
// channel's Framer, which pads only what the stream is known to have left
// silent and writes everything pending. Ends quietly once *stop is set
// (checked before the first wait and after every ring; the supervisor rings
// after setting it). A frame write failure goes to report_fatal as "could
// not write frames ({})", which ends the process unless stop is set.
// Throws InternalError on a poisoned framer or sink: run it inside
// run_worker.
void run_silence_filler(SharedFramer system_framer, std::shared_ptr<FrameSink> sink,
                        std::shared_ptr<const std::atomic<bool>> stop, std::shared_ptr<Doorbell> bell);

}  // namespace tavikrec
