#include "base/internal_error.h"

#include <string>

#include "base/diagnostics.h"

namespace tavikrec {

void report_internal_error(std::string_view message) noexcept {
  try {
    std::string text = "tavikrec internal error: ";
    text += escape_control_characters(message);
    print_raw_line(text);
  } catch (...) {
    print_raw_line("tavikrec internal error");
  }
}

void report_current_exception() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    report_internal_error(e.what());
  } catch (...) {
    report_internal_error("unknown exception");
  }
}

}  // namespace tavikrec
