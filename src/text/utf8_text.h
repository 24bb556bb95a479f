// Lossy UTF-8 decoding of texts from outside (arguments, the sound server).
#pragma once

#include <string>
#include <string_view>

namespace tavikrec {

// Returns bytes as valid UTF-8, each invalid sequence replaced by U+FFFD.
// Valid input comes back unchanged.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace tavikrec
