// library_version_supported against a second reading of the rule written
// another way: three fields split on '.', each an optional '+' and digits
// whose value (leading zeros allowed) is at most 255, the first at least 8.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "pulse/library_version.h"
#include "targets.h"

namespace tavikrec::fuzz {
namespace {

std::vector<std::string_view> split_on_dots(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      fields.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return fields;
}

// -1 when the field is not a number within 0-255.
int field_value(std::string_view field) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty() || field.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  std::size_t first = field.find_first_not_of('0');
  if (first == std::string_view::npos) return 0;
  std::string_view digits = field.substr(first);
  if (digits.size() > 3) return -1;
  int value = std::stoi(std::string(digits));
  return value <= 255 ? value : -1;
}

bool reference_supported(std::string_view version) {
  std::vector<std::string_view> fields = split_on_dots(version);
  if (fields.size() != 3) return false;
  for (std::string_view field : fields) {
    if (field_value(field) < 0) return false;
  }
  return field_value(fields[0]) >= 8;
}

}  // namespace

void fuzz_library_version(std::span<const std::uint8_t> data) {
  std::string_view version = as_text(data);
  require(library_version_supported(version) == reference_supported(version),
          "library_version_supported disagrees with the reference reading");
}

}  // namespace tavikrec::fuzz
