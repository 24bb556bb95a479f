#include "frame/channel_writer.h"

#include <utility>

namespace tavikrec {

ChannelWriter::ChannelWriter(FrameSender sender) : sender_(std::move(sender)) {}

void ChannelWriter::write(std::span<const std::byte> bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }

std::expected<void, ErrorText> ChannelWriter::flush() {
  if (pending_.empty()) return {};
  if (!sender_.send(std::exchange(pending_, {}))) return std::unexpected(std::string(kFrameWriterStopped));
  return {};
}

}  // namespace tavikrec
