#include "base/fatal_report.h"

#include <unistd.h>

#include "base/diagnostics.h"

namespace tavikrec {

void end_process_now(int status) noexcept { ::_exit(status); }

void report_fatal(const std::expected<void, ErrorText>& outcome, const std::atomic<bool>& stop) noexcept {
  if (outcome || stop.load()) return;
  // Two workers failing together (both sources losing the server, say) would
  // otherwise race to print; the parent gets the first failure only, and the
  // later one waits here for the process to end.
  static std::atomic_flag reporting;
  if (reporting.test_and_set()) {
    for (;;) ::pause();
  }
  try {
    print_line(fatal_message(outcome.error()));
  } catch (...) {
    // Standard error is gone; the exit status still tells the parent.
  }
  end_process_now(1);
}

}  // namespace tavikrec
