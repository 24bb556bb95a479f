#include "support/pipewire_prefix.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace tavikrec::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kPrefix = TAVIKREC_PIPEWIRE14_PREFIX;
const fs::path kLibraries = kPrefix / "usr/lib" / TAVIKREC_LIBRARY_ARCHITECTURE;
const fs::path kShare = kPrefix / "usr/share";

}  // namespace

void require_pipewire14() {
  for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse", "pw-cli"}) {
    fs::path path = kPrefix / "usr/bin" / program;
    if (::access(path.c_str(), X_OK) != 0) {
      throw std::runtime_error("PipeWire 1.4 is not installed: " + path.string() +
                               " is missing (scripts/install-deps unpacks it, as root)");
    }
  }
}

std::map<std::string, std::optional<std::string>> pipewire14_environment(const fs::path& wireplumber_config) {
  const char* path = std::getenv("PATH");
  return {
      {"PATH", (kPrefix / "usr/bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
      // Without it pipewire loads the system's 0.3 library and dies on an
      // undefined symbol.
      {"LD_LIBRARY_PATH", kLibraries.string()},
      {"SPA_PLUGIN_DIR", (kLibraries / "spa-0.2").string()},
      // Without it pipewire-pulse finds no protocol module and serves nothing.
      {"PIPEWIRE_MODULE_DIR", (kLibraries / "pipewire-0.3").string()},
      {"PIPEWIRE_CONFIG_DIR", (kShare / "pipewire").string()},
      {"WIREPLUMBER_MODULE_DIR", (kLibraries / "wireplumber-0.5").string()},
      {"WIREPLUMBER_DATA_DIR", (kShare / "wireplumber").string()},
      {"WIREPLUMBER_CONFIG_DIR", wireplumber_config.string() + ":" + (kShare / "wireplumber").string()},
  };
}

}  // namespace tavikrec::testing
