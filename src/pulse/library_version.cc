#include "pulse/library_version.h"

#include <optional>

namespace tavikrec {
namespace {

constexpr int kMinimumMajor = 8;
constexpr int kFieldMaximum = 255;

// One field: optional "+", then at least one decimal digit, value 0-255.
std::optional<int> parse_field(std::string_view field) {
  if (field.starts_with('+')) field.remove_prefix(1);
  if (field.empty()) return std::nullopt;
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    // Stopping here also keeps long digit runs from overflowing.
    if (value > kFieldMaximum) return std::nullopt;
  }
  return value;
}

}  // namespace

bool library_version_supported(std::string_view version) {
  std::optional<int> major;
  int fields = 0;
  while (true) {
    size_t dot = version.find('.');
    std::optional<int> value = parse_field(version.substr(0, dot));
    if (!value || ++fields > 3) return false;
    if (!major) major = value;
    if (dot == std::string_view::npos) break;
    version.remove_prefix(dot + 1);
  }
  return fields == 3 && *major >= kMinimumMajor;
}

}  // namespace tavikrec
