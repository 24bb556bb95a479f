// Which libpulse versions the program is willing to talk through: older
// client libraries, or version strings we cannot read, are refused before any
// connection is attempted.
#pragma once

#include <string_view>

namespace tavikrec {

// True when `version` is exactly three dot-separated decimal fields, each
// 0-255 and optionally preceded by "+", and the first (major) is at least 8.
bool library_version_supported(std::string_view version);

}  // namespace tavikrec
