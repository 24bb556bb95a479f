// The FrameSink's writer: each flush becomes one message on the frame queue,
// so one frame written and flushed reaches the frame writer as one unit.
#pragma once

#include <string_view>

#include "base/error_text.h"
#include "frame/byte_writer.h"
#include "frame/frame_queue.h"

namespace tavikrec {

// What every frame write reports once the frame writer thread has ended.
inline constexpr std::string_view kFrameWriterStopped = "frame writer stopped";

// Destroying it drops the pending bytes unsent and, as it holds the queue's
// only sender, closes the queue.
class ChannelWriter final : public ByteWriter {
 public:
  explicit ChannelWriter(FrameSender sender);

  void write(std::span<const std::byte> bytes) override;
  // Nothing pending: sends nothing. Otherwise sends the pending bytes as one
  // message, or drops them and fails with kFrameWriterStopped when the
  // receiver is gone.
  std::expected<void, ErrorText> flush() override;

 private:
  FrameSender sender_;
  FrameMessage pending_;
};

}  // namespace tavikrec
