// decode_utf8_lossy: always valid UTF-8, the identity on valid input,
// idempotent, and a valid prefix never changes how the rest decodes.
#include <string>

#include "fuzz_check.h"
#include "targets.h"
#include "text/utf8_text.h"

namespace tavikrec::fuzz {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

void fuzz_utf8_decode(std::span<const std::uint8_t> data) {
  std::string_view input = as_text(data);
  std::string decoded = decode_utf8_lossy(input);
  require(is_valid_utf8(decoded), "decoded text is not valid UTF-8");
  // Each input byte yields at most one U+FFFD (three bytes).
  require(decoded.size() <= 3 * input.size(), "decoded text longer than one replacement per byte");
  if (is_valid_utf8(input)) {
    require(decoded == input, "valid input changed by decoding");
  } else {
    require(decoded.find(kReplacement) != std::string::npos, "invalid input decoded without U+FFFD");
  }
  require(decode_utf8_lossy(decoded) == decoded, "decoding is not idempotent");

  // Split at a point chosen by the input: when the part before it is valid
  // on its own, it must come through untouched and the rest decode alone.
  SplitRandom random(data);
  std::size_t cut = random.next(input.size());
  std::string_view head = input.substr(0, cut);
  if (is_valid_utf8(head)) {
    require(decoded == std::string(head) + decode_utf8_lossy(input.substr(cut)),
            "a valid prefix changed how the rest decodes");
  }
}

}  // namespace tavikrec::fuzz
