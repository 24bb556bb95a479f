// The escape of one control character shared by diagnostic lines and JSON
// texts, whose rules agree on U+0000-U+001F.
#pragma once

#include <string>

namespace tavikrec {

// Appends \n, \r or \t, or \u00XX with lower-case hex digits.
// REQUIRES: byte < 0x20 or byte == 0x7f.
inline void append_control_escape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (byte) {
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
  }
}

}  // namespace tavikrec
