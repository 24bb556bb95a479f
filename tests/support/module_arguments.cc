#include "support/module_arguments.h"

#include <cstdio>

namespace tavikrec::testing {
namespace {

std::string backslash_escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '\'' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string quoted_module_value(std::string_view text) { return "'" + backslash_escaped(text) + "'"; }

std::string description_properties(std::string_view description) {
  return "'device.description=\"" + backslash_escaped(description) + "\"'";
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool is_plain_device_name(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
                 c == '-';
    if (!plain) return false;
  }
  return true;
}

}  // namespace tavikrec::testing
