#include "frame/frame_writer.h"

#include <cerrno>
#include <span>

#include "main/diagnostics.h"

namespace tavikrec {
namespace {

// Writes all of bytes; a write accepting nothing counts as a failure. The
// descriptor is written directly, so nothing is left to flush afterwards.
bool write_whole(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// Returns false when a write failed.
bool write_until_closed(FrameReceiver receiver, int fd) {
  while (std::optional<FrameMessage> message = receiver.receive()) {
    if (!write_whole(fd, *message)) return false;
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
