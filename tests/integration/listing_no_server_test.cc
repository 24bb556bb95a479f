// Both listings when no sound server can be reached: one FATAL line naming
// the real reason, nothing on standard output, exit status 1.
#include <gtest/gtest.h>

#include "support/child_process.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;
using testing::ChildOptions;
using testing::ChildProcess;
using testing::ExitStatus;

TEST(ListingWithoutServer, OneFatalLineWithTheConnectReason) {
  // libpulse fails this connect at once; its bare return code would read
  // "Access denied".
  const std::string expected =
      "tavikrec: FATAL: could not connect to the sound server (Connection refused) \u2014 is PipeWire "
      "(pipewire-pulse) or PulseAudio running?\n";
  for (auto args : std::vector<std::vector<std::string>>{{"--list-inputs"}, {"--devices"}, {"--devices", "--system"}}) {
    ChildOptions options;
    options.environment["PULSE_SERVER"] = "unix:/nonexistent/tavikrec-test-socket";
    ChildProcess child(TAVIKREC_BINARY, args, options);
    EXPECT_EQ(child.wait_or_kill(20s), ExitStatus::Code(1)) << args[0];
    EXPECT_EQ(child.stderr_text(), expected);
    EXPECT_EQ(child.stdout_bytes(), "");
  }
}

}  // namespace
}  // namespace tavikrec
