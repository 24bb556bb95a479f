// Owner of one libpulse record stream on a ServerConnection, and how the
// capture threads open one.
#pragma once

#include <pulse/context.h>
#include <pulse/stream.h>

#include <cstddef>
#include <expected>
#include <memory>
#include <string>

#include "base/error_text.h"
#include "base/source_kind.h"

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

// Creates the `kind` stream (16 kHz mono s16le, 40 ms fragments, named after
// the kind) and asks the server to record `device` into it; with
// `dont_move`, the server may not move it elsewhere. The stream is still
// starting when returned. Fails with "could not allocate the {kind} stream"
// or "could not open {kind} capture from {device} ({error}) — check sound
// settings".
// REQUIRES: `context` is ready; called on the thread that drives it.
std::expected<RecordStream, ErrorText> open_record_stream(pa_context* context, SourceKind kind,
                                                          const std::string& device, bool dont_move);

// The server's name for the default device of `kind`: "@DEFAULT_SOURCE@"
// or "@DEFAULT_MONITOR@".
const char* default_device_name(SourceKind kind);

// Bytes the stream has received and not yet handed out; 0 when libpulse
// cannot tell (the stream is not ready).
std::size_t queued_bytes(pa_stream* stream);

// "{kind} capture stream died ({reason})" for a stream on `context` that
// failed with libpulse error `code`: "connection lost" when the context is
// gone, since libpulse then says only "Bad state". (Pass the context itself:
// libpulse forgets a failed stream's context.)
ErrorText stream_died(SourceKind kind, pa_context* context, int code);

// The failure of a stream that could not be opened on `device`.
std::unexpected<ErrorText> open_failure(SourceKind kind, const std::string& device, const std::string& reason);

}  // namespace tavikrec
