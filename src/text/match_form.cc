#include "text/match_form.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace tavikrec {

std::string normalize_for_match(std::string_view text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));

  int32_t begin = 0;
  int32_t end = u.length();
  while (begin < end && u_hasBinaryProperty(u.char32At(begin), UCHAR_WHITE_SPACE)) begin = u.moveIndex32(begin, 1);
  while (end > begin) {
    int32_t last = u.moveIndex32(end, -1);
    if (!u_hasBinaryProperty(u.char32At(last), UCHAR_WHITE_SPACE)) break;
    end = last;
  }
  icu::UnicodeString trimmed(u, begin, end - begin);

  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString normalized;
  if (U_SUCCESS(status)) normalized = nfc->normalize(trimmed, status);
  // The NFC data ships inside libicu itself; failing to load it means a
  // broken installation, where comparing the trimmed text is the best left.
  if (U_FAILURE(status)) normalized = trimmed;

  std::string out;
  normalized.toUTF8String(out);
  return out;
}

}  // namespace tavikrec
