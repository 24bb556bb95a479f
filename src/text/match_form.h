// The comparison form of device texts: what the user typed for --mic-device
// and what the sound server reports are compared only in this form.
#pragma once

#include <string>
#include <string_view>

namespace tavikrec {

// Removes leading and trailing characters with the Unicode White_Space
// property, then converts the rest to Normalization Form C. No case folding,
// no compatibility mapping. Invalid UTF-8 bytes count as U+FFFD.
std::string normalize_for_match(std::string_view text);

}  // namespace tavikrec
