#include "main/capture_run.h"

#include "main/diagnostics.h"

namespace tavikrec {

int run_capture(const SourceList&, const std::optional<std::string>&) {
  print_line(fatal_message("capture is not built yet"));
  return 1;
}

}  // namespace tavikrec
