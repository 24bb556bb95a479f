// normalize_for_match: valid UTF-8 out, never white space at either end,
// idempotent, blind to white space added around the text, and in NFC.
#include <cstdlib>
#include <string>

#include <utf8proc.h>

#include "fuzz_check.h"
#include "targets.h"
#include "text/match_form.h"

namespace tavikrec::fuzz {
namespace {

// The White_Space property, listed by hand so that the check does not lean
// on the library the code under test uses.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// REQUIRES: text is valid UTF-8 and not empty.
char32_t first_code_point(std::string_view text) {
  auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[i])); };
  if (b(0) < 0x80) return b(0);
  if (b(0) < 0xE0) return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
  if (b(0) < 0xF0) return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

// REQUIRES: text is valid UTF-8 and not empty.
char32_t last_code_point(std::string_view text) {
  std::size_t start = text.size() - 1;
  while ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return first_code_point(text.substr(start));
}

bool is_nfc(const std::string& text) {
  utf8proc_uint8_t* composed = nullptr;
  auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                             static_cast<utf8proc_ssize_t>(text.size()), &composed,
                             static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  require(length >= 0, "utf8proc rejected the comparison form");
  bool same = std::string_view(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length)) == text;
  std::free(composed);
  return same;
}

}  // namespace

void fuzz_normalize(std::span<const std::uint8_t> data) {
  std::string_view input = as_text(data);
  std::string form = normalize_for_match(input);
  require(is_valid_utf8(form), "comparison form is not valid UTF-8");
  if (!form.empty()) {
    require(!is_white_space(first_code_point(form)), "comparison form starts with white space");
    require(!is_white_space(last_code_point(form)), "comparison form ends with white space");
  }
  require(is_nfc(form), "comparison form is not in NFC");
  require(normalize_for_match(form) == form, "normalize_for_match is not idempotent");
  // U+3000 and a space before, a tab and U+2029 after.
  std::string padded = "\xE3\x80\x80 " + std::string(input) + "\t\xE2\x80\xA9";
  require(normalize_for_match(padded) == form, "white space around the text changed its comparison form");
}

}  // namespace tavikrec::fuzz
