// The program's entry after process start: parse the arguments and run the
// one mode they ask for.
#pragma once

#include <span>
#include <string_view>

namespace tavikrec {

// Opens each of the descriptors 0, 1, 2 that is closed on /dev/null and
// ignores SIGPIPE for the life of the process, so that a reader that goes
// away shows up as a write error.
void prepare_process();

// Returns the exit status: 0, 1 or 2. Internal errors escape as exceptions.
int run_program(std::span<const std::string_view> args);

}  // namespace tavikrec
