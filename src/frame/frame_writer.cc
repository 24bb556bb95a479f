#include "frame/frame_writer.h"

#include <string_view>

#include "base/diagnostics.h"
#include "base/write_all.h"

namespace tavikrec {
namespace {

// Returns false when a write failed.
bool write_until_closed(FrameReceiver& receiver, int fd) {
  while (std::optional<FrameMessage> message = receiver.receive()) {
    // The descriptor is written directly: nothing is left to flush after.
    std::string_view bytes(reinterpret_cast<const char*>(message->data()), message->size());
    if (write_all(fd, bytes) != 0) return false;
  }
  return true;
}

}  // namespace

void run_frame_writer(FrameReceiver receiver, int fd) {
  if (write_until_closed(receiver, fd)) return;
  // The line goes out while the receiver still lives: a producer whose write
  // fails once it is gone prints its FATAL line and ends the process at
  // once, so the parent would never see this one.
  print_line("the frame stream's reader is gone");
  FrameReceiver gone = std::move(receiver);
}

}  // namespace tavikrec
