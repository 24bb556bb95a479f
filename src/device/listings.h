// The two listing modes: --list-inputs and --devices. Each asks the sound
// server its questions, closes the connection, prints one JSON line on
// standard output and returns the exit status (0, or 1 after one FATAL line
// with nothing on standard output). A failed write of that line throws
// InternalError.
#pragma once

#include <optional>
#include <string>

#include "base/source_kind.h"

namespace tavikrec {

// The input devices as [{"id": ..., "name": ..., "default": ...}, ...].
int run_input_listing();

// {"mic": ..., "system": ...} for the kinds in `sources`, in order: the
// device each capture source would use. `mic_device` is the raw
// --mic-device text (absent for the server's default) and is resolved only
// when `sources` holds Mic; the wait for it may take about 3 s.
// REQUIRES: `sources` is non-empty, each kind at most once.
int run_device_listing(const SourceList& sources, const std::optional<std::string>& mic_device);

}  // namespace tavikrec
