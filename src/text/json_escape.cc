#include "text/json_escape.h"

#include "base/control_escape.h"

namespace tavikrec {

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (byte < 0x20) {
          append_control_escape(out, byte);
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
