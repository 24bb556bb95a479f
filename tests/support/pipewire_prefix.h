// PipeWire 1.4 and WirePlumber 0.5 as scripts/install-deps unpacks them into
// a prefix of their own (Debian 12's bookworm-backports packages, beside the
// system's PipeWire 0.3), and the environment that runs them from there.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace tavikrec::testing {

// Throws std::runtime_error naming the prefix and scripts/install-deps when
// the unpacked programs are not there.
void require_pipewire14();

// Variables for the servers and the PipeWire tools (pw-cli) of that prefix:
// PATH starting at its programs, its libraries, plugins, modules and
// configuration, and WirePlumber's configuration lookup replaced by
// `wireplumber_config` followed by the prefix's own (the lookup would
// otherwise find Debian 12's WirePlumber 0.4 files, which 0.5 refuses).
std::map<std::string, std::optional<std::string>> pipewire14_environment(
    const std::filesystem::path& wireplumber_config);

}  // namespace tavikrec::testing
