// Escaping of device texts placed between JSON quotation marks in the
// listing output.
#pragma once

#include <string>
#include <string_view>

namespace tavikrec {

// Escapes the quotation mark, the backslash, tab, line feed and carriage
// return as \" \\ \t \n \r, and every other U+0000-U+001F as \u00xx with
// lower-case hex digits. Everything else (U+007F, "/", U+2028, all of
// non-ASCII) is copied byte for byte. `text` should be valid UTF-8.
std::string json_escape(std::string_view text);

}  // namespace tavikrec
