// One capture thread per requested source: opens its own connection and
// record stream, announces itself, sends one start signal, then sleeps in
// its main loop until audio comes and appends every block it reads, stamped
// from the stream's own clock, to its channel's Framer until the run stops
// or something fails (which ends the process via the fatal report path).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "base/doorbell.h"
#include "base/source_kind.h"
#include "capture/echo_reference.h"
#include "capture/mainloop_waker.h"
#include "capture/start_channel.h"
#include "frame/frame_sink.h"
#include "frame/framer.h"

namespace tavikrec {

struct CaptureRequest {
  SourceKind kind;
  // The --mic-device text as typed; absent follows the default microphone.
  // Only the microphone reads it.
  std::optional<std::string> mic_device;
  SharedFramer framer;
  std::shared_ptr<FrameSink> sink;
  std::shared_ptr<const std::atomic<bool>> stop;
  StartSender start;
  // Wakes the thread's main loop for the stop.
  std::shared_ptr<MainloopWaker> waker;
  // Rung when the silence filler has silence to pad on this channel.
  std::shared_ptr<Doorbell> silence_bell;
  // With --cancel-echo: the output's timeline, as the echo canceller's
  // reference. The output's Framer feeds it; the microphone's thread reads
  // it, and the output's thread says when its stream is known silent.
  std::shared_ptr<EchoReference> echo_reference;
  // The output's thread only records the reference: its channel was not
  // asked for, so its lines name only the reference.
  bool reference_only = false;
};

// The thread body. Returns after a silent end (stop flag); a failure ends
// the process with status 1 unless the stop flag is already set. Internal
// errors (a poisoned lock) escape as exceptions.
void capture_thread(CaptureRequest request);

}  // namespace tavikrec
