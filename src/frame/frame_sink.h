// The one shared entry point of the frame stream: encodes a frame and hands
// it on whole under its lock, so frames of different channels never mix.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/error_text.h"
#include "base/poisonable.h"
#include "frame/byte_writer.h"
#include "frame/frame_queue.h"

namespace tavikrec {

class FrameSink {
 public:
  // Writes through a ChannelWriter on `sender`; the queue closes when this
  // sink is destroyed.
  FrameSink(Ticks epoch, FrameSender sender);
  // Writes through `writer` instead.
  FrameSink(Ticks epoch, std::unique_ptr<ByteWriter> writer);

  Ticks epoch() const { return epoch_; }

  // REQUIRES: 1 <= samples.size() <= kMaxFrameSamples (a violation throws
  // InternalError). Called with the caller's Framer lock held: the lock order
  // is Framer, then FrameSink.
  // Fails with "frame writer stopped" once the frame writer has ended. Throws
  // InternalError("frame sink poisoned") when a former holder of the sink's
  // lock failed while holding it.
  std::expected<void, ErrorText> write_frame(std::uint8_t tag, Ticks stamp, std::span<const std::int16_t> samples);

 private:
  const Ticks epoch_;
  Poisonable<std::unique_ptr<ByteWriter>> writer_;
};

// "could not write frames ({reason})": what a worker reports when frames it
// handed on could not be written.
ErrorText frame_write_failure(const ErrorText& reason);

}  // namespace tavikrec
