#include "frame/frame_writer.h"

#include <string_view>

#include "base/diagnostics.h"
#include "base/write_all.h"

namespace tavikrec {
namespace {

// Returns false when a write failed.
bool write_until_closed(FrameReceiver receiver, int fd) {
  while (std::optional<FrameMessage> message = receiver.receive()) {
    // The descriptor is written directly: nothing is left to flush after.
    std::string_view bytes(reinterpret_cast<const char*>(message->data()), message->size());
    if (write_all(fd, bytes) != 0) return false;
  }
  return true;
}

}  // namespace

void run_frame_writer(FrameReceiver receiver, int fd) {
  // The receiver is gone by the time the line is printed: anyone who sees it
  // can rely on writes failing from then on.
  if (!write_until_closed(std::move(receiver), fd)) print_line("the frame stream's reader is gone");
}

}  // namespace tavikrec
