#include "main/fatal_report.h"

#include <unistd.h>

#include "main/diagnostics.h"

namespace tavikrec {

void end_process_now(int status) noexcept { ::_exit(status); }

void report_fatal(const std::optional<std::string>& error, const std::atomic<bool>& stop) noexcept {
  if (!error || stop.load()) return;
  try {
    print_line(fatal_message(*error));
  } catch (...) {
    // Standard error is gone; the exit status still tells the parent.
  }
  end_process_now(1);
}

}  // namespace tavikrec
