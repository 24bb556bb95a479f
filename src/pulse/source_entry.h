// One input device of the catalogue: a sound server source that is not the
// monitor of an output.
#pragma once

#include <string>

namespace tavikrec {

struct SourceEntry {
  std::string id;    // the server's name for the source; record streams open on it
  std::string name;  // its description, or a copy of id when it has none
  bool is_default = false;  // id equals the server's default source name
};

}  // namespace tavikrec
