// The two listing modes: --list-inputs and --devices. Each prints one JSON
// line on standard output and returns the exit status.
#pragma once

#include <optional>
#include <string>

#include "main/source_kind.h"

namespace tavikrec {

int run_input_listing();
int run_device_listing(const SourceList& sources, const std::optional<std::string>& mic_device);

}  // namespace tavikrec
