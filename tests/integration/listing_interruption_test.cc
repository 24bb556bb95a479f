// Listings whose server stalls or dies, interrupts from the terminal, and a
// standard output nobody reads.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <csignal>

#include "integration/listing_run.h"

namespace tavikrec::testing {
namespace {

using namespace std::chrono_literals;

ServerSetup small_setup() {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  setup.sources = {{"tv.mic", "Mic"}};
  setup.default_sink = "tv.out";
  setup.default_source = "tv.mic";
  return setup;
}

// How long a child that ignores an interrupt gets to show that it does.
constexpr auto kSettle = 500ms;
constexpr auto kReach = 20s;

// Asleep in its main loop's poll: waiting for an answer from the server.
bool waiting_on_server(const ChildProcess& child) {
  auto call = child.sleeping_in();
#ifdef SYS_poll
  if (call == SYS_poll) return true;
#endif
  return call == SYS_ppoll;
}

// Asleep between two attempts to find the chosen microphone.
bool between_attempts(const ChildProcess& child) { return child.sleeping_in() == SYS_clock_nanosleep; }

class ListingInterruption : public ::testing::TestWithParam<ServerKind> {
 protected:
  void SetUp() override { server_ = SoundServer::start(GetParam(), small_setup()); }

  std::unique_ptr<ChildProcess> start_listing(const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(TAVIKREC_BINARY, args, listing_options(*server_));
  }

  std::unique_ptr<SoundServer> server_;
};

TEST_P(ListingInterruption, ServerKilledDuringAQuery) {
  // A choice that never matches keeps the listing querying for 3 s.
  auto child = start_listing({"--devices", "--mic", "--mic-device", "nothing by this name"});
  ASSERT_TRUE(wait_until([&] { return between_attempts(*child); }, kReach)) << "never queried the server";
  server_->pause();
  ASSERT_TRUE(wait_until([&] { return waiting_on_server(*child); }, kReach)) << "never queried again";
  server_->kill();
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(1));
  EXPECT_EQ(child->stderr_text(), fatal_line("the sound server connection died"));
  EXPECT_EQ(child->stdout_bytes(), "");
}

TEST_P(ListingInterruption, ServerKilledWhileConnecting) {
  server_->pause();
  auto child = start_listing({"--list-inputs"});
  ASSERT_TRUE(wait_until([&] { return waiting_on_server(*child); }, kReach)) << "never reached the server";
  server_->kill();
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(1));
  auto lines = child->stderr_lines();
  ASSERT_EQ(lines.size(), 1u) << child->stderr_text();
  EXPECT_TRUE(lines[0].starts_with("tavikrec: FATAL: ")) << lines[0];
  EXPECT_EQ(child->stdout_bytes(), "");
}

TEST_P(ListingInterruption, DeviceListingOutlivesAnInterrupt) {
  server_->pause();
  auto child = start_listing({"--devices"});
  ASSERT_TRUE(wait_until([&] { return child->ignores(SIGINT); }, kReach)) << "never ignored interrupts";
  child->send_signal(SIGINT);
  EXPECT_FALSE(child->wait(kSettle)) << "ended by the interrupt";
  server_->resume();
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(0)) << child->stderr_text();
  EXPECT_EQ(child->stdout_bytes(), "{\"mic\": \"tv.mic\", \"system\": \"tv.out.monitor\"}\n");
}

TEST_P(ListingInterruption, InputListingEndsOnAnInterrupt) {
  server_->pause();
  auto child = start_listing({"--list-inputs"});
  ASSERT_TRUE(wait_until([&] { return waiting_on_server(*child); }, kReach)) << "never reached the server";
  child->send_signal(SIGINT);
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Signal(SIGINT));
  EXPECT_EQ(child->stdout_bytes(), "");
  server_->resume();
}

TEST_P(ListingInterruption, UnreadableStandardOutputIsAnInternalError) {
  for (auto args : std::vector<std::vector<std::string>>{{"--list-inputs"}, {"--devices"}}) {
    server_->pause();
    auto child = start_listing(args);
    child->close_stdout();
    server_->resume();
    EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(101)) << args[0];
    EXPECT_NE(child->stderr_text().find("Broken pipe"), std::string::npos) << child->stderr_text();
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, ListingInterruption, all_servers(), server_test_name);

}  // namespace
}  // namespace tavikrec::testing
