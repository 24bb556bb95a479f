#include "capture/default_watch.h"

#include <pulse/subscribe.h>

#include <utility>

namespace tavikrec {

DefaultWatch::DefaultWatch(SourceKind kind, pa_context* context, ParkedFailure& failure, Callbacks callbacks)
    : kind_(kind), context_(context), failure_(failure), callbacks_(std::move(callbacks)) {
  pa_context_set_subscribe_callback(context_, &DefaultWatch::on_event, this);
  const auto devices = kind_ == SourceKind::Mic ? PA_SUBSCRIPTION_MASK_SOURCE : PA_SUBSCRIPTION_MASK_SINK;
  const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | devices);
  const OperationOwner subscribing(pa_context_subscribe(context_, mask, nullptr, nullptr));
  refresh();
}

DefaultWatch::~DefaultWatch() {
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  if (pending_) pa_operation_cancel(pending_.get());
}

// Defaults change with a server event; a device that comes or goes may
// change them without one on some servers.
void DefaultWatch::on_event(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
  auto* watch = static_cast<DefaultWatch*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto what = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility != PA_SUBSCRIPTION_EVENT_SERVER && what == PA_SUBSCRIPTION_EVENT_CHANGE) return;
  watch->failure_.run([&] {
    if (what == PA_SUBSCRIPTION_EVENT_REMOVE) watch->callbacks_.removed(index);
    watch->refresh();
  });
}

// While a question is on its way, its answer may already be out of date:
// asked again once it is in.
void DefaultWatch::refresh() {
  if (pending_) {
    ask_again_ = true;
    return;
  }
  ask(pa_context_get_server_info(context_, &DefaultWatch::on_server_info, this));
}

// A context that refuses to ask is failing; the capture loop notices that.
void DefaultWatch::ask(pa_operation* operation) { pending_.reset(operation); }

void DefaultWatch::on_server_info(pa_context* context, const pa_server_info* info, void* self) {
  auto* watch = static_cast<DefaultWatch*>(self);
  watch->failure_.run([&] {
    const char* name = nullptr;
    if (info) name = watch->kind_ == SourceKind::Mic ? info->default_source_name : info->default_sink_name;
    if (watch->kind_ == SourceKind::System && name) {
      // The monitor's name is the sink's to tell.
      watch->sink_monitor_.reset();
      watch->ask(pa_context_get_sink_info_by_name(context, name, &DefaultWatch::on_sink_info, self));
      return;
    }
    watch->answer(name ? std::optional<std::string>(name) : std::nullopt);
  });
}

void DefaultWatch::on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* watch = static_cast<DefaultWatch*>(self);
  watch->failure_.run([&] {
    if (eol == 0) {
      if (info && info->monitor_source_name) watch->sink_monitor_ = info->monitor_source_name;
      return;
    }
    watch->answer(std::exchange(watch->sink_monitor_, std::nullopt));
  });
}

void DefaultWatch::answer(std::optional<std::string> device) {
  pending_.reset();
  device_ = std::move(device);
  if (std::exchange(ask_again_, false)) {
    refresh();
    return;
  }
  const bool news = !reported_ || *reported_ != device_;
  reported_ = device_;
  callbacks_.answered(news);
}

}  // namespace tavikrec
