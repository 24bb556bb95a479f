#include "text/match_form.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

#include "text/utf8_text.h"

namespace tavikrec {
namespace {

// The White_Space property: the separators (categories Zs, Zl, Zp) and the
// controls tab to carriage return and U+0085.
bool is_white_space(utf8proc_int32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  switch (utf8proc_category(c)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

// The code point starting at `text[at]`; REQUIRES valid UTF-8 there.
utf8proc_int32_t code_point_at(std::string_view text, std::size_t at, std::size_t& length) {
  utf8proc_int32_t c = 0;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                            static_cast<utf8proc_ssize_t>(text.size() - at), &c);
  length = n > 0 ? static_cast<std::size_t>(n) : 1;
  return c;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t length = 0;
  while (!text.empty() && is_white_space(code_point_at(text, 0, length))) text.remove_prefix(length);
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!is_white_space(code_point_at(text, start, length))) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace

std::string normalize_for_match(std::string_view text) {
  std::string valid = decode_utf8_lossy(text);
  std::string_view trimmed = trim_white_space(valid);

  utf8proc_uint8_t* composed = nullptr;
  auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(trimmed.data()),
                             static_cast<utf8proc_ssize_t>(trimmed.size()), &composed,
                             static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(composed, &std::free);
  // The input is valid UTF-8 by now, so only running out of memory fails
  // here; comparing the trimmed text is the best left then.
  if (length < 0) return std::string(trimmed);
  return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

}  // namespace tavikrec
