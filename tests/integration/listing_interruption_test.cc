// Listings whose server stalls or dies, interrupts from the terminal, and a
// standard output nobody reads.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

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

// Long enough for the child to be past its start-up and blocked on the
// stalled server.
constexpr auto kSettle = 500ms;

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
  std::this_thread::sleep_for(1s);
  server_->pause();
  std::this_thread::sleep_for(kSettle);
  server_->kill();
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(1));
  EXPECT_EQ(child->stderr_text(), fatal_line("the sound server connection died"));
  EXPECT_EQ(child->stdout_bytes(), "");
}

TEST_P(ListingInterruption, ServerKilledWhileConnecting) {
  server_->pause();
  auto child = start_listing({"--list-inputs"});
  std::this_thread::sleep_for(kSettle);
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
  std::this_thread::sleep_for(kSettle);
  child->send_signal(SIGINT);
  EXPECT_FALSE(child->wait(kSettle)) << "ended by the interrupt";
  server_->resume();
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(0)) << child->stderr_text();
  EXPECT_EQ(child->stdout_bytes(), "{\"mic\": \"tv.mic\", \"system\": \"tv.out.monitor\"}\n");
}

TEST_P(ListingInterruption, InputListingEndsOnAnInterrupt) {
  server_->pause();
  auto child = start_listing({"--list-inputs"});
  std::this_thread::sleep_for(kSettle);
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

INSTANTIATE_TEST_SUITE_P(Servers, ListingInterruption,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire),
                         server_test_name);

}  // namespace
}  // namespace tavikrec::testing
