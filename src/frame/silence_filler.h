// The silence filler: keeps a channel's timeline moving while its source
// delivers nothing (an output that plays nothing, a microphone channel with
// no input device), so its frames keep coming about 100 ms behind the
// clock and a long absence never arrives as one burst. It sleeps until a
// capture thread rings: its stream was found empty and its Framer has
// silence to pad.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "base/doorbell.h"
#include "frame/frame_sink.h"
#include "frame/framer.h"

namespace tavikrec {

// A channel the filler pads, and where its frames go.
struct PaddedChannel {
  SharedFramer framer;
  std::shared_ptr<FrameSink> sink;
};

// Thread body. At every ring of `bell` calls fill_silence on each channel's
// Framer, which pads only what its stream is known to have left silent and
// writes everything pending. Ends quietly once *stop is set
// (checked before the first wait and after every ring; the supervisor rings
// after setting it). A frame write failure goes to report_fatal as "could
// not write frames ({})", which ends the process unless stop is set.
// Throws InternalError on a poisoned framer or sink: run it inside
// run_worker.
void run_silence_filler(std::vector<PaddedChannel> channels,
                        std::shared_ptr<const std::atomic<bool>> stop, std::shared_ptr<Doorbell> bell);

}  // namespace tavikrec
