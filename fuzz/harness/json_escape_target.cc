// json_escape: the output must be legal JSON string content (no raw control
// bytes, no bare quotation mark, only known escapes) and must decode back to
// exactly the input bytes.
#include <string>

#include "fuzz_check.h"
#include "targets.h"
#include "text/json_escape.h"

namespace tavikrec::fuzz {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A strict reader of JSON string content; aborts on anything JSON forbids.
// Only \u escapes below U+0080 can come back as one byte, and those are the
// only ones the escaper may write.
std::string decode_json_content(std::string_view escaped) {
  std::string out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    char c = escaped[i];
    require(static_cast<unsigned char>(c) >= 0x20, "raw control byte in escaped text");
    require(c != '"', "bare quotation mark in escaped text");
    if (c != '\\') {
      out += c;
      continue;
    }
    require(i + 1 < escaped.size(), "escaped text ends in a lone backslash");
    char kind = escaped[++i];
    switch (kind) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        require(i + 4 < escaped.size(), "truncated \\u escape");
        int value = 0;
        for (int k = 1; k <= 4; ++k) {
          int digit = hex_value(escaped[i + static_cast<std::size_t>(k)]);
          require(digit >= 0, "non-hex digit in \\u escape");
          value = value * 16 + digit;
        }
        require(value < 0x80, "\\u escape of a non-ASCII code point");
        out += static_cast<char>(value);
        i += 4;
        break;
      }
      default: require(false, "unknown escape");
    }
  }
  return out;
}

}  // namespace

void fuzz_json_escape(std::span<const std::uint8_t> data) {
  std::string_view input = as_text(data);
  std::string escaped = json_escape(input);
  require(decode_json_content(escaped) == input, "escaped text does not decode back to the input");
  if (is_valid_utf8(input)) require(is_valid_utf8(escaped), "valid UTF-8 input escaped into invalid UTF-8");
}

}  // namespace tavikrec::fuzz
