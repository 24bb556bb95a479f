#include "device/listings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <string_view>
#include <vector>

#include "base/diagnostics.h"
#include "base/error_text.h"
#include "base/internal_error.h"
#include "base/write_all.h"
#include "device/microphone_resolver.h"
#include "pulse/server_queries.h"
#include "text/json_escape.h"

namespace tavikrec {
namespace {

std::string input_listing_line(const std::vector<SourceEntry>& catalogue) {
  std::string line = "[";
  for (const SourceEntry& entry : catalogue) {
    if (line.size() > 1) line += ", ";
    line += "{\"id\": \"" + json_escape(entry.id) + "\", \"name\": \"" + json_escape(entry.name) +
            "\", \"default\": " + (entry.is_default ? "true" : "false") + "}";
  }
  return line + "]\n";
}

std::string device_listing_line(const SourceList& sources, const std::vector<std::string>& values) {
  std::string line = "{";
  for (size_t i = 0; i < sources.size(); ++i) {
    if (i > 0) line += ", ";
    line += "\"" + std::string(display_name(sources[i])) + "\": \"" + json_escape(values[i]) + "\"";
  }
  return line + "}\n";
}

// The connection lives only inside these two: it is closed before anything
// is printed.
std::expected<std::string, ErrorText> query_input_listing() {
  auto connection = connect_to_server();
  if (!connection) return std::unexpected(connection.error());
  auto catalogue = list_sources(*connection);
  if (!catalogue) return std::unexpected(catalogue.error());
  return input_listing_line(*catalogue);
}

std::expected<std::string, ErrorText> device_value(SourceKind kind, const std::optional<SourceEntry>& resolved,
                                                   const ServerDefaults& defaults) {
  if (kind == SourceKind::Mic) {
    if (resolved) return resolved->name;
    if (defaults.default_source) return *defaults.default_source;
    return std::unexpected("no default microphone is configured \u2014 check sound settings");
  }
  if (defaults.default_sink) return *defaults.default_sink + ".monitor";
  return std::unexpected("no default output device is configured \u2014 check sound settings");
}

std::expected<std::string, ErrorText> query_device_listing(const SourceList& sources,
                                                           const std::optional<std::string>& mic_device) {
  auto connection = connect_to_server();
  if (!connection) return std::unexpected(connection.error());
  std::optional<SourceEntry> resolved;
  if (mic_device && std::ranges::find(sources, SourceKind::Mic) != sources.end()) {
    auto entry = resolve_microphone(*mic_device, *connection);
    if (!entry) return std::unexpected(entry.error());
    resolved = std::move(*entry);
  }
  auto defaults = query_server_defaults(*connection);
  if (!defaults) return std::unexpected(defaults.error());
  std::vector<std::string> values;
  for (SourceKind kind : sources) {
    auto value = device_value(kind, resolved, *defaults);
    if (!value) return std::unexpected(value.error());
    values.push_back(std::move(*value));
  }
  return device_listing_line(sources, values);
}

void write_to_stdout(std::string_view text) {
  if (int err = write_all(STDOUT_FILENO, text); err != 0) {
    throw InternalError(std::string("could not write the listing to standard output (") + std::strerror(err) + ")");
  }
}

int print_listing(const std::expected<std::string, ErrorText>& line) {
  if (!line) {
    print_line(fatal_message(line.error()));
    return 1;
  }
  write_to_stdout(*line);
  return 0;
}

}  // namespace

int run_input_listing() { return print_listing(query_input_listing()); }

int run_device_listing(const SourceList& sources, const std::optional<std::string>& mic_device) {
  return print_listing(query_device_listing(sources, mic_device));
}

}  // namespace tavikrec
