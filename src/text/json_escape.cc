#include "text/json_escape.h"

namespace tavikrec {

std::string json_escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
        } else {
          // UTF-8 continuation and lead bytes are >= 0x80, so multi-byte
          // characters pass through whole.
          out += c;
        }
    }
  }
  return out;
}

}  // namespace tavikrec
