// The capture run supervisor: what the main thread does in capture mode.
#pragma once

#include <optional>
#include <string>

#include "base/source_kind.h"

namespace tavikrec {

// Runs a capture of `sources` (never empty) until standard input ends;
// returns the exit status (0, or 1 after a failed start). `cancel_echo`
// (with the microphone among the sources): the microphone's channel carries
// it less the echo of what the default output plays, whose monitor is
// recorded as the reference even when the system channel is not asked for.
int run_capture(const SourceList& sources, const std::optional<std::string>& mic_device, bool cancel_echo = false);

}  // namespace tavikrec
