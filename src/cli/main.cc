#include <string_view>
#include <vector>

#include "base/fatal_report.h"
#include "base/internal_error.h"
#include "cli/program.h"

int main(int argc, char** argv) {
  tavikrec::prepare_process();
  try {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    return tavikrec::run_program(args);
  } catch (...) {
    tavikrec::report_current_exception();
    // Worker threads may still be running: leave without static destructors.
    tavikrec::end_process_now(101);
  }
}
