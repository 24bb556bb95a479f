#include "base/write_all.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tavikrec {

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      // A descriptor handed over non-blocking is full for now, not broken.
      pollfd writable{fd, POLLOUT, 0};
      if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return errno;
      continue;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace tavikrec
