#include "base/diagnostics.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/control_escape.h"
#include "base/internal_error.h"
#include "base/write_all.h"

namespace tavikrec {
namespace {

std::mutex& stderr_lock() {
  static std::mutex lock;
  return lock;
}

// Writes all of text to standard error; returns 0 or the errno of the failure.
int write_all_to_stderr(std::string_view text) {
  std::lock_guard guard(stderr_lock());
  return write_all(STDERR_FILENO, text);
}

}  // namespace

std::string escape_control_characters(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (char c : message) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      append_control_escape(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

void print_line(std::string_view message) {
  std::string line = "tavikrec: ";
  line += escape_control_characters(message);
  line += '\n';
  if (int err = write_all_to_stderr(line); err != 0) {
    throw InternalError(std::string("could not write to standard error (") + std::strerror(err) + ")");
  }
}

void print_raw_line(std::string_view text) noexcept {
  try {
    std::string line(text);
    line += '\n';
    write_all_to_stderr(line);
  } catch (...) {
    // Out of memory while reporting: nothing sensible is left to do.
  }
}

std::string fatal_message(std::string_view error) {
  std::string message = "FATAL: ";
  message += error;
  return message;
}

}  // namespace tavikrec
