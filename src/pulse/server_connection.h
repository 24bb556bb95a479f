// A conversation with the sound server: one libpulse standard main loop with
// one ready context, created, driven and released by a single thread, so
// that libpulse callbacks always run on the thread that owns the connection.
#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "base/error_text.h"

namespace tavikrec {

inline constexpr std::string_view kConnectionDied = "the sound server connection died";

struct MainloopFree {
  void operator()(pa_mainloop* mainloop) const noexcept { pa_mainloop_free(mainloop); }
};
struct ContextUnref {
  void operator()(pa_context* context) const noexcept { pa_context_unref(context); }
};
struct OperationUnref {
  void operator()(pa_operation* operation) const noexcept { pa_operation_unref(operation); }
};
using MainloopOwner = std::unique_ptr<pa_mainloop, MainloopFree>;
using ContextOwner = std::unique_ptr<pa_context, ContextUnref>;
// Holds our reference to a request's operation.
using OperationOwner = std::unique_ptr<pa_operation, OperationUnref>;

// The error text of a libpulse code: pa_strerror's text, or "" when it has
// none. The code is passed as it is, negative values included.
std::string pulse_error_text(int code);

// Move-only. Confined to the thread that created it: every call, and the
// release, must happen on that thread. The context is ready when handed out.
class ServerConnection {
 public:
  ServerConnection(ServerConnection&& other) noexcept = default;
  ServerConnection& operator=(ServerConnection&& other) noexcept;
  ~ServerConnection();

  pa_mainloop* mainloop() const { return mainloop_.get(); }
  pa_context* context() const { return context_.get(); }

  // Drives the main loop (blocking iterations) until `operation`, a request
  // just made on this connection's context, is no longer running. Fails with
  // "the sound server connection died" when an iteration fails or the
  // context has failed meanwhile. The caller still owns `operation` and
  // releases it either way.
  std::expected<void, ErrorText> wait_for_operation(pa_operation* operation);

 private:
  friend std::expected<ServerConnection, ErrorText> connect_to_server();
  // REQUIRES: `context` is ready and was created on `mainloop`.
  ServerConnection(MainloopOwner mainloop, ContextOwner context);
  // Disconnects and unrefs the context, then frees the main loop.
  void release() noexcept;

  // release() frees these in the order libpulse needs: context, then loop.
  MainloopOwner mainloop_;
  ContextOwner context_;
};

// Connects to libpulse's default server under the client name "tavikwerk"
// and waits, with no time limit of its own, until the context is ready.
std::expected<ServerConnection, ErrorText> connect_to_server();

}  // namespace tavikrec
