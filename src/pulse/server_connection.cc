#include "pulse/server_connection.h"

#include <pulse/error.h>
#include <pulse/version.h>

#include <utility>

#include "pulse/library_version.h"

namespace tavikrec {
namespace {

constexpr char kClientName[] = "tavikwerk";

std::string connect_failure(int code) {
  return "could not connect to the sound server (" + pulse_error_text(code) +
         ") \u2014 is PipeWire (pipewire-pulse) or PulseAudio running?";
}

// Iterates until the context is ready; the main loop alone decides how long.
std::expected<void, ErrorText> wait_until_ready(pa_mainloop* mainloop, pa_context* context) {
  while (true) {
    if (pa_mainloop_iterate(mainloop, 1, nullptr) < 0) return std::unexpected(std::string(kConnectionDied));
    switch (pa_context_get_state(context)) {
      case PA_CONTEXT_READY:
        return {};
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        return std::unexpected(connect_failure(pa_context_errno(context)));
      default:
        break;
    }
  }
}

}  // namespace

std::string pulse_error_text(int code) {
  const char* text = pa_strerror(code);
  return text ? text : "";
}

ServerConnection::ServerConnection(MainloopOwner mainloop, ContextOwner context)
    : mainloop_(std::move(mainloop)), context_(std::move(context)) {}

ServerConnection& ServerConnection::operator=(ServerConnection&& other) noexcept {
  if (this != &other) {
    release();
    mainloop_ = std::move(other.mainloop_);
    context_ = std::move(other.context_);
  }
  return *this;
}

ServerConnection::~ServerConnection() { release(); }

void ServerConnection::release() noexcept {
  if (context_) pa_context_disconnect(context_.get());
  context_.reset();
  mainloop_.reset();
}

std::expected<void, ErrorText> ServerConnection::wait_for_operation(pa_operation* operation) {
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    if (pa_mainloop_iterate(mainloop_.get(), 1, nullptr) < 0) return std::unexpected(std::string(kConnectionDied));
  }
  // A server that goes away does not make the iteration fail: libpulse fails
  // the context and cancels its operations, which would otherwise pass for
  // an empty answer.
  if (pa_context_get_state(context_.get()) != PA_CONTEXT_READY) return std::unexpected(std::string(kConnectionDied));
  return {};
}

std::expected<ServerConnection, ErrorText> connect_to_server() {
  MainloopOwner mainloop(pa_mainloop_new());
  if (!mainloop) return std::unexpected("could not allocate a PulseAudio mainloop");
  pa_mainloop_api* api = pa_mainloop_get_api(mainloop.get());
  ContextOwner context(pa_context_new(api, kClientName));
  if (!context || !library_version_supported(pa_get_library_version())) {
    return std::unexpected("could not allocate a PulseAudio context");
  }
  if (int code = pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOFLAGS, nullptr); code != 0) {
    // libpulse returns a bare -1 when it fails at once, and pa_strerror(-1)
    // reads "Access denied"; the context knows the real reason.
    int reason = pa_context_errno(context.get());
    return std::unexpected(connect_failure(reason != PA_OK ? reason : code));
  }
  if (auto ready = wait_until_ready(mainloop.get(), context.get()); !ready) {
    return std::unexpected(ready.error());
  }
  return ServerConnection(std::move(mainloop), std::move(context));
}

}  // namespace tavikrec
