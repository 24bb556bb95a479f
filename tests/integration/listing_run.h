// Runs one listing of the built binary against a test sound server and
// keeps what it wrote and how long it took.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "integration/server_kinds.h"
#include "support/child_process.h"
#include "support/sound_server.h"

namespace tavikrec::testing {

struct ListingRun {
  ExitStatus status;
  std::string out;
  std::string err;
  std::chrono::steady_clock::duration elapsed;
};

inline ChildOptions listing_options(const SoundServer& server) {
  ChildOptions options;
  options.environment = server.client_environment();
  return options;
}

inline ListingRun run_listing(const SoundServer& server, const std::vector<std::string>& args) {
  auto started = std::chrono::steady_clock::now();
  ChildProcess child(TAVIKREC_BINARY, args, listing_options(server));
  ExitStatus status = child.wait_or_kill(std::chrono::seconds(20));
  return {status, child.stdout_bytes(), child.stderr_text(), std::chrono::steady_clock::now() - started};
}

inline std::string fatal_line(const std::string& error) { return "tavikrec: FATAL: " + error + "\n"; }

}  // namespace tavikrec::testing
