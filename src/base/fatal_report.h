// The fatal report path of worker threads: one FATAL line, then the whole
// process ends at once with exit status 1 -- unless the run is already
// stopping, in which case the failure is an expected consequence and is
// dropped silently. Only the first worker to fail reports.
#pragma once

#include <atomic>
#include <expected>

#include "base/error_text.h"

namespace tavikrec {

// Ends the process now with `status`, without running static destructors or
// waiting for other threads (they may still hold locks and objects that those
// destructors would tear down under them). Everything the program writes goes
// out through unbuffered write(2), so nothing needs flushing first.
[[noreturn]] void end_process_now(int status) noexcept;

// Does nothing when the worker succeeded or stop is set; otherwise prints
// "FATAL: {error}" and ends the process with status 1.
void report_fatal(const std::expected<void, ErrorText>& outcome, const std::atomic<bool>& stop) noexcept;

}  // namespace tavikrec
