// Turns the user's --mic-device text into one input device of the catalogue:
// by id first, then by description, with a short wait for a device that is
// still being brought up.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_text.h"
#include "pulse/server_connection.h"
#include "pulse/source_entry.h"

namespace tavikrec {

// One look at a catalogue. Compares comparison forms: the first entry whose
// id matches `choice` wins; otherwise the single entry whose name matches.
// Nothing matched: an empty optional. Several names matched: the ambiguity
// error text, quoting `choice` as typed.
std::expected<std::optional<SourceEntry>, ErrorText> match_microphone(const std::vector<SourceEntry>& catalogue,
                                                                      std::string_view choice);

// Queries the catalogue anew every 250 ms until `choice` (the raw
// --mic-device text, never the word "default") matches or 3 s have passed.
// A failed query and an ambiguous choice end it at once. Blocks the calling
// thread, at most about 3.25 s plus the queries.
// REQUIRES: called on the thread that owns `connection`.
std::expected<SourceEntry, ErrorText> resolve_microphone(std::string_view choice, ServerConnection& connection);

}  // namespace tavikrec
