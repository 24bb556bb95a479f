#include "frame/frame_sink.h"

#include <utility>

#include "base/internal_error.h"
#include "frame/channel_writer.h"
#include "frame/frame_encoder.h"
#include "frame/frame_format.h"

namespace tavikrec {

FrameSink::FrameSink(Ticks epoch, FrameSender sender)
    : FrameSink(epoch, std::make_unique<ChannelWriter>(std::move(sender))) {}

FrameSink::FrameSink(Ticks epoch, std::unique_ptr<ByteWriter> writer)
    : epoch_(epoch), writer_("frame sink poisoned", std::move(writer)) {}

std::expected<void, ErrorText> FrameSink::write_frame(std::uint8_t tag, Ticks stamp,
                                                      std::span<const std::int16_t> samples) {
  if (samples.empty() || samples.size() > kMaxFrameSamples) {
    throw InternalError("frame of " + std::to_string(samples.size()) + " samples");
  }
  // Encoding outside the lock keeps the time other producers wait short.
  std::vector<std::byte> frame = encode_frame(tag, stamp, epoch_, samples);
  auto writer = writer_.lock();
  (*writer)->write(frame);
  return (*writer)->flush();
}

ErrorText frame_write_failure(const ErrorText& reason) { return "could not write frames (" + reason + ")"; }

}  // namespace tavikrec
