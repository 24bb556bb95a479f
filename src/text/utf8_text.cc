#include "text/utf8_text.h"

#include <cstddef>

namespace tavikrec {
namespace {

constexpr std::string_view kReplacement = "\xef\xbf\xbd";

struct ByteRange {
  unsigned char low;
  unsigned char high;
};

// How many continuation bytes follow `lead` in a well-formed sequence, and the
// range allowed for the first of them (which rules out overlong forms,
// surrogates and code points above U+10FFFF); 0 for a byte that cannot start
// a sequence.
std::size_t continuation_count(unsigned char lead, ByteRange& first) {
  first = {0x80, 0xBF};
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (lead == 0xE0) first = {0xA0, 0xBF};
    if (lead == 0xED) first = {0x80, 0x9F};
    return 2;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (lead == 0xF0) first = {0x90, 0xBF};
    if (lead == 0xF4) first = {0x80, 0x8F};
    return 3;
  }
  return 0;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out += bytes[i++];
      continue;
    }
    ByteRange range;
    std::size_t needed = continuation_count(lead, range);
    std::size_t end = i + 1;
    std::size_t taken = 0;
    while (taken < needed && end < bytes.size()) {
      auto byte = static_cast<unsigned char>(bytes[end]);
      if (byte < range.low || byte > range.high) break;
      range = {0x80, 0xBF};
      ++end;
      ++taken;
    }
    // A sequence cut short counts once, however many of its bytes were
    // right (the maximal subpart, as Unicode recommends); the byte that broke
    // it is looked at again as a possible start.
    if (needed > 0 && taken == needed) {
      out.append(bytes.substr(i, end - i));
    } else {
      out += kReplacement;
    }
    i = end;
  }
  return out;
}

}  // namespace tavikrec
