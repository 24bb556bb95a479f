// Diagnostic lines: every human-readable word the program utters goes to
// standard error as one line "tavikrec: {message}\n", written whole under one
// process-wide lock so that lines from different threads never mix.
#pragma once

#include <string>
#include <string_view>

namespace tavikrec {

// Escapes the control characters U+0000-U+001F and U+007F as \n, \r, \t or
// \u00XX (lower-case hex), so that a value inserted into a message (an
// argument, a device name) can never break a line or forge another one.
// Everything else, backslashes included, is kept byte for byte.
std::string escape_control_characters(std::string_view message);

// Writes "tavikrec: " + escaped message + "\n" with a single write(2).
// Throws InternalError naming the system's error when standard error cannot
// be written.
void print_line(std::string_view message);

// Writes a report that is not a diagnostic line (used for internal errors)
// under the same lock. Failures are ignored: such a report is lost when
// standard error itself fails.
void print_raw_line(std::string_view text) noexcept;

// "FATAL: " + error.
std::string fatal_message(std::string_view error);

}  // namespace tavikrec
