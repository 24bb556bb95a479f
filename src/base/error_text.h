// The text of a failure on its way to the user. Every fallible step returns
// std::expected<T, ErrorText>; the text ends up, as is, in a diagnostic line
// or in the FATAL line.
#pragma once

#include <string>

namespace tavikrec {

using ErrorText = std::string;

}  // namespace tavikrec
