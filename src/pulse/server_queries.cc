#include "pulse/server_queries.h"

#include <pulse/introspect.h>

#include <exception>
#include <utility>

#include "text/utf8_text.h"

namespace tavikrec {
namespace {

// libpulse calls back through C: an exception must not cross it, so the
// callbacks park it here and it is rethrown once the wait is over.
struct DefaultsSlot {
  std::optional<ServerDefaults> defaults;
  std::exception_ptr failure;
};

struct SourceCollection {
  std::vector<SourceEntry> entries;  // is_default still unset
  std::exception_ptr failure;
};

std::optional<std::string> decoded_or_absent(const char* text) {
  if (!text) return std::nullopt;
  return decode_utf8_lossy(text);
}

// The info structures live only during the callback: copy what we keep.
void on_server_info(pa_context*, const pa_server_info* info, void* userdata) {
  auto* slot = static_cast<DefaultsSlot*>(userdata);
  if (!info) return;
  try {
    slot->defaults = ServerDefaults{decoded_or_absent(info->default_source_name),
                                    decoded_or_absent(info->default_sink_name)};
  } catch (...) {
    slot->failure = std::current_exception();
  }
}

void on_source_info(pa_context*, const pa_source_info* info, int end_of_list, void* userdata) {
  auto* collection = static_cast<SourceCollection*>(userdata);
  if (end_of_list != 0 || !info) return;
  // Monitors of outputs are never microphones.
  if (info->monitor_of_sink != PA_INVALID_INDEX || !info->name) return;
  try {
    std::string id = decode_utf8_lossy(info->name);
    std::string name = info->description ? decode_utf8_lossy(info->description) : id;
    collection->entries.push_back({std::move(id), std::move(name), false});
  } catch (...) {
    collection->failure = std::current_exception();
  }
}

std::string refused_request(const ServerConnection& connection) {
  if (pa_context_get_state(connection.context()) != PA_CONTEXT_READY) return std::string(kConnectionDied);
  return "the sound server refused the device query (" + pulse_error_text(pa_context_errno(connection.context())) +
         ")";
}

// Waits for the operation of a request just made; `operation` is null when
// libpulse refused the request outright (a dead context, typically).
std::expected<void, ErrorText> finish_request(ServerConnection& connection, pa_operation* operation) {
  if (!operation) return std::unexpected(refused_request(connection));
  OperationOwner owner(operation);
  return connection.wait_for_operation(operation);
}

}  // namespace

std::expected<ServerDefaults, ErrorText> query_server_defaults(ServerConnection& connection) {
  DefaultsSlot slot;
  auto done = finish_request(connection, pa_context_get_server_info(connection.context(), on_server_info, &slot));
  if (slot.failure) std::rethrow_exception(slot.failure);
  if (!done) return std::unexpected(done.error());
  if (!slot.defaults) return std::unexpected("the sound server did not answer the device query");
  return std::move(*slot.defaults);
}

std::expected<std::vector<SourceEntry>, ErrorText> list_sources(ServerConnection& connection) {
  SourceCollection collection;
  auto done =
      finish_request(connection, pa_context_get_source_info_list(connection.context(), on_source_info, &collection));
  if (collection.failure) std::rethrow_exception(collection.failure);
  if (!done) return std::unexpected(done.error());
  // A list that ended in an error or was cancelled still counts: what
  // arrived before is the catalogue.
  auto defaults = query_server_defaults(connection);
  if (!defaults) return std::unexpected(defaults.error());
  for (SourceEntry& entry : collection.entries) {
    entry.is_default = defaults->default_source == entry.id;
  }
  return std::move(collection.entries);
}

}  // namespace tavikrec
