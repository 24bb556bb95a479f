// --devices against real PulseAudio and PipeWire servers: the pairs, the
// microphone choice with its 3 s wait, and the missing-default messages.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include "integration/listing_run.h"

namespace tavikrec::testing {
namespace {

using namespace std::chrono_literals;

const std::string kDefaults = "{\"mic\": \"tv.twin.b\", \"system\": \"tv.out.monitor\"}\n";

// Two sinks and four sources, the defaults on the second of each.
ServerSetup catalogue_setup() {
  ServerSetup setup;
  setup.sinks = {{"tv.hdmi", "HDMI"}, {"tv.out", "Speakers"}};
  setup.sources = {
      {"tv.plain", "Plain Mic"},
      {"tv.cafe", "Caf\u00e9 \"Mic\""},
      {"tv.twin.a", "Twin"},
      {"tv.twin.b", "Twin"},
  };
  setup.default_sink = "tv.out";
  setup.default_source = "tv.twin.b";
  return setup;
}

class DeviceListing : public ::testing::TestWithParam<ServerKind> {
 protected:
  void start(const ServerSetup& setup) { server_ = SoundServer::start(GetParam(), setup); }

  void expect_listing(const std::vector<std::string>& args, const std::string& line) {
    ListingRun run = run_listing(*server_, args);
    EXPECT_EQ(run.status, ExitStatus::Code(0)) << ::testing::PrintToString(args) << run.err;
    EXPECT_EQ(run.out, line) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err, "");
  }

  ListingRun expect_failure(const std::vector<std::string>& args, const std::string& error) {
    ListingRun run = run_listing(*server_, args);
    EXPECT_EQ(run.status, ExitStatus::Code(1)) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err, fatal_line(error));
    EXPECT_EQ(run.out, "");
    return run;
  }

  std::unique_ptr<SoundServer> server_;
};

TEST_P(DeviceListing, DefaultsForEachRequestedKindInOrder) {
  start(catalogue_setup());
  expect_listing({"--devices"}, kDefaults);
  expect_listing({"--devices", "--system", "--mic"}, kDefaults);
  expect_listing({"--devices", "--system"}, "{\"system\": \"tv.out.monitor\"}\n");
  expect_listing({"--devices", "--mic"}, "{\"mic\": \"tv.twin.b\"}\n");
  expect_listing({"--devices", "--mic-device", " default "}, kDefaults);
}

TEST_P(DeviceListing, ChoiceShowsTheMatchedDevicesName) {
  start(catalogue_setup());
  expect_listing({"--devices", "--mic", "--mic-device", " tv.plain\t"}, "{\"mic\": \"Plain Mic\"}\n");
  expect_listing({"--devices", "--mic-device", "Plain Mic"},
                 "{\"mic\": \"Plain Mic\", \"system\": \"tv.out.monitor\"}\n");
  // Decomposed e + combining acute against the precomposed description.
  expect_listing({"--devices", "--mic", "--mic-device", "Cafe\u0301 \"Mic\""}, "{\"mic\": \"Caf\u00e9 \\\"Mic\\\"\"}\n");
}

TEST_P(DeviceListing, CaseMismatchIsNotAvailableAfterThreeSeconds) {
  start(catalogue_setup());
  ListingRun run = expect_failure(
      {"--devices", "--mic", "--mic-device", "plain mic"},
      "the selected microphone \"plain mic\" is not available \u2014 run `tavik devices` to list what is connected, "
      "or pass --mic-device default");
  EXPECT_GE(run.elapsed, 2900ms);
  EXPECT_LT(run.elapsed, 10s);
}

TEST_P(DeviceListing, SharedDescriptionFailsAtOnce) {
  start(catalogue_setup());
  ListingRun run = expect_failure({"--devices", "--mic-device", "Twin"},
                                  "the microphone name \"Twin\" matches 2 connected devices (tv.twin.a, tv.twin.b) "
                                  "\u2014 pass one of those IDs to --mic-device instead");
  EXPECT_LT(run.elapsed, 2500ms);
}

TEST_P(DeviceListing, ChoiceIgnoredWithoutMic) {
  start(catalogue_setup());
  auto started = std::chrono::steady_clock::now();
  expect_listing({"--devices", "--system", "--mic-device", "nothing by this name"},
                 "{\"system\": \"tv.out.monitor\"}\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
}

TEST_P(DeviceListing, DeviceAddedAfterTheStartIsFound) {
  start(catalogue_setup());
  ChildProcess child(TAVIKREC_BINARY, {"--devices", "--mic", "--mic-device", "Late Mic"}, listing_options(*server_));
  // Asleep between two attempts: the first one has not found it.
  ASSERT_TRUE(wait_until([&] { return child.sleeping_in() == SYS_clock_nanosleep; }, 20s)) << child.stderr_text();
  server_->add_source({"tv.late", "Late Mic"});
  EXPECT_EQ(child.wait_or_kill(20s), ExitStatus::Code(0)) << child.stderr_text();
  EXPECT_EQ(child.stdout_bytes(), "{\"mic\": \"Late Mic\"}\n");
}

TEST_P(DeviceListing, MonitorNameOfAnOddDefaultSinkIsEscaped) {
  // PulseAudio allows only [A-Za-z0-9_.-] in device names.
  if (GetParam() == ServerKind::PulseAudio) GTEST_SKIP() << "PulseAudio cannot name a sink this way";
  ServerSetup setup;
  setup.sinks = {{"tv.\"odd\\out", "Odd"}};
  start(setup);
  expect_listing({"--devices", "--system"}, "{\"system\": \"tv.\\\"odd\\\\out.monitor\"}\n");
}

TEST_P(DeviceListing, MissingDefaultsNameWhatIsMissing) {
  // PipeWire's pulse server always reports some default name.
  if (is_pipewire(GetParam())) GTEST_SKIP() << "PipeWire always reports defaults";
  const std::string no_mic = "no default microphone is configured \u2014 check sound settings";
  const std::string no_output = "no default output device is configured \u2014 check sound settings";
  start({});
  expect_failure({"--devices"}, no_mic);
  expect_failure({"--devices", "--system"}, no_output);
  server_->add_source({"tv.mic", "Mic"});
  expect_failure({"--devices"}, no_output);
  expect_listing({"--devices", "--mic"}, "{\"mic\": \"tv.mic\"}\n");
}

INSTANTIATE_TEST_SUITE_P(Servers, DeviceListing, all_servers(), server_test_name);

}  // namespace
}  // namespace tavikrec::testing
