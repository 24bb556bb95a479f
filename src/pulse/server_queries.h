// The two questions the program asks the sound server: its default source
// and sink, and its input sources. Both drive the caller's connection until
// answered; texts from the server come back as valid UTF-8.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "pulse/server_connection.h"
#include "pulse/source_entry.h"

namespace tavikrec {

struct ServerDefaults {
  std::optional<std::string> default_source;  // absent when the server has none
  std::optional<std::string> default_sink;
};

// REQUIRES: called on the thread that owns `connection`.
std::expected<ServerDefaults, ErrorText> query_server_defaults(ServerConnection& connection);

// Sources that are neither monitors nor nameless, in the server's order, with
// is_default from a server-info query made after the list has completed.
// REQUIRES: called on the thread that owns `connection`.
std::expected<std::vector<SourceEntry>, ErrorText> list_sources(ServerConnection& connection);

}  // namespace tavikrec
