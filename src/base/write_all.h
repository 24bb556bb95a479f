// Writing a whole buffer to a descriptor: partial writes continue, writes
// interrupted by a signal are retried, and a non-blocking descriptor that is
// full is waited for.
#pragma once

#include <string_view>

namespace tavikrec {

// Returns 0 once every byte is written, or the errno of the failure (EIO
// for a write that accepted nothing).
int write_all(int fd, std::string_view bytes);

}  // namespace tavikrec
