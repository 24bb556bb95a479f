// Keeps track of the device the server currently offers to one capture
// source: its default source for the microphone, the monitor of its default
// sink for the system output. Driven by libpulse callbacks on the main loop
// of the capture thread that owns the context.
#pragma once

#include <pulse/context.h>
#include <pulse/introspect.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/source_kind.h"
#include "capture/parked_failure.h"
#include "pulse/server_connection.h"

namespace tavikrec {

class DefaultWatch {
 public:
  struct Callbacks {
    // With every answer that no later question has overtaken; news = true
    // when it names another device than the answer handed on before (or is
    // the first).
    std::function<void(bool news)> answered;
    // A device of the kind the default is taken from (sinks for the system
    // output, sources for the microphone) went away.
    std::function<void(std::uint32_t index)> removed;
  };

  // Subscribes to server and device changes and asks for the defaults.
  // The callbacks run inside libpulse callbacks; exceptions they throw are
  // parked in `failure`.
  // REQUIRES: `context` is ready; it and `failure` outlive this object;
  // every call, and the destruction, on the thread that drives its main loop.
  DefaultWatch(SourceKind kind, pa_context* context, ParkedFailure& failure, Callbacks callbacks);
  // Ends the subscription; no callback runs afterwards.
  ~DefaultWatch();
  DefaultWatch(const DefaultWatch&) = delete;
  DefaultWatch& operator=(const DefaultWatch&) = delete;

  // Asks again: something may have changed without an event saying so.
  void refresh();

  // The server name of the device; nothing before the first answer or while
  // the server has no such default.
  const std::optional<std::string>& device() const { return device_; }

 private:
  static void on_event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);
  static void on_server_info(pa_context* context, const pa_server_info* info, void* self);
  static void on_sink_info(pa_context* context, const pa_sink_info* info, int eol, void* self);

  void ask(pa_operation* operation);
  void answer(std::optional<std::string> device);

  const SourceKind kind_;
  pa_context* const context_;
  ParkedFailure& failure_;
  const Callbacks callbacks_;
  OperationOwner pending_;  // the question on its way, if any
  bool ask_again_ = false;
  std::optional<std::string> sink_monitor_;  // filled by the sink answer
  std::optional<std::string> device_;
  // The device of the last answer handed on, once there was one.
  std::optional<std::optional<std::string>> reported_;
};

}  // namespace tavikrec
