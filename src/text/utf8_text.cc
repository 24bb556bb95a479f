#include "text/utf8_text.h"

#include <unicode/unistr.h>

namespace tavikrec {

std::string decode_utf8_lossy(std::string_view bytes) {
  // ICU's UTF-8 conversion substitutes U+FFFD for every maximal ill-formed
  // subsequence, the practice Unicode recommends.
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
  std::string out;
  out.reserve(bytes.size());
  u.toUTF8String(out);
  return out;
}

}  // namespace tavikrec
