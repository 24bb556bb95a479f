// Owner of one libpulse record stream on a ServerConnection.
#pragma once

#include <pulse/stream.h>

#include <memory>

namespace tavikrec {

struct StreamRelease {
  void operator()(pa_stream* stream) const noexcept {
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
};

// Disconnects and unrefs the stream. Must be destroyed before the
// ServerConnection whose context it was created on.
using RecordStream = std::unique_ptr<pa_stream, StreamRelease>;

}  // namespace tavikrec
