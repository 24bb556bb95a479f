// The private sound server fixture on every server: devices and odd
// descriptions as asked, runtime changes, audio flowing through a remapped
// monitor, pausing, killing, and nothing left behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>

#include "integration/server_kinds.h"
#include "support/sound_server.h"
#include "support/test_signal.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;
using testing::DeviceSpec;
using testing::ExitStatus;
using testing::ServerKind;
using testing::ServerSetup;
using testing::SoundServer;

// Every character a device description must survive on its way in.
const std::string kOddDescription = "Q\"uote B\\ack T\tab E\x1bsc D\x7f" "el it's Caf\u00e9 \u00dcn\u00ef";

bool process_gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

class SoundServerTest : public ::testing::TestWithParam<ServerKind> {};

TEST_P(SoundServerTest, StartsWithDevicesDescriptionsAndDefaults) {
  auto server = SoundServer::start(GetParam(), ServerSetup{
                                                   .sinks = {{"speakers", kOddDescription}},
                                                   .sources = {{"mic_a", "Plain Mic"}, {"mic_b", kOddDescription}},
                                                   .default_sink = "speakers",
                                                   .default_source = "mic_b",
                                               });
  auto sources = server->source_descriptions();
  EXPECT_EQ(sources["mic_a"], "Plain Mic");
  EXPECT_EQ(sources["mic_b"], kOddDescription);
  EXPECT_TRUE(sources.contains("speakers.monitor"));
  EXPECT_EQ(server->sink_descriptions()["speakers"], kOddDescription);

  std::string info = server->pactl({"info"});
  EXPECT_NE(info.find("\nDefault Source: mic_b\n"), std::string::npos) << info;
  EXPECT_NE(info.find("\nDefault Sink: speakers\n"), std::string::npos) << info;

  server->set_default_source("mic_a");
  EXPECT_NE(server->pactl({"info"}).find("\nDefault Source: mic_a\n"), std::string::npos);
}

TEST_P(SoundServerTest, AddsAndRemovesDevicesAtRuntime) {
  auto server = SoundServer::start(GetParam(), ServerSetup{.sinks = {{"speakers", "Speakers"}}});
  std::uint32_t source = server->add_source({"late_mic", "Late Mic"});
  std::uint32_t sink = server->add_sink({"late_out", "Late Output"});
  EXPECT_EQ(server->source_descriptions()["late_mic"], "Late Mic");
  EXPECT_EQ(server->source_descriptions()["late_out.monitor"], "Monitor of Late Output");

  server->unload_module(source);
  server->unload_module(sink);
  auto sources = server->source_descriptions();
  EXPECT_FALSE(sources.contains("late_mic"));
  EXPECT_FALSE(sources.contains("late_out.monitor"));
  EXPECT_FALSE(server->sink_descriptions().contains("late_out"));
  EXPECT_TRUE(sources.contains("speakers.monitor"));
}

TEST_P(SoundServerTest, PlayedSineComesOutOfRemappedMonitor) {
  auto server = SoundServer::start(GetParam(), ServerSetup{.sinks = {{"tone", "Tone"}}});
  server->add_remap_source("tone_mic", "Tone Mic", "tone.monitor");
  auto playback = server->play("tone", testing::sine_wave(440, 8000, testing::kTestSampleRate), true);

  std::vector<std::int16_t> recorded = server->record("tone_mic", 1500ms);
  ASSERT_GT(recorded.size(), 8000u) << playback->diagnostics();
  // The start of a recording may still be silence from before the playback.
  std::span<const std::int16_t> tail(recorded.end() - 8000, recorded.end());
  // Far from silence; the exact level differs by server (PipeWire's mono to
  // stereo to mono path comes out 3 dB louder).
  EXPECT_GT(testing::rms_level(tail), 4000);
  // The median over 100 ms windows: a moment of a player starved on a loaded
  // machine (a glitch adds crossings) moves one window, not the figure.
  std::vector<double> frequencies;
  for (std::size_t at = 0; at + 1600 <= tail.size(); at += 1600) {
    frequencies.push_back(testing::zero_crossing_frequency(tail.subspan(at, 1600)));
  }
  std::nth_element(frequencies.begin(), frequencies.begin() + 2, frequencies.end());
  EXPECT_NEAR(frequencies[2], 440, 15);
}

TEST_P(SoundServerTest, PausedServerStallsClientsUntilResumed) {
  auto server = SoundServer::start(GetParam(), ServerSetup{.sinks = {{"speakers", "Speakers"}}});
  server->pause();
  EXPECT_EQ(server->run_client("pactl", {"info"}, 1s).status, ExitStatus::Signal(SIGKILL));
  server->resume();
  EXPECT_EQ(server->run_client("pactl", {"info"}).status, ExitStatus::Code(0));
}

TEST_P(SoundServerTest, KillAndDestructionLeaveNothingBehind) {
  auto killed = SoundServer::start(GetParam());
  std::vector<pid_t> pids = killed->pids();
  killed->kill();
  for (pid_t pid : pids) EXPECT_TRUE(process_gone(pid)) << pid;
  EXPECT_EQ(killed->run_client("pactl", {"info"}).status, ExitStatus::Code(1));

  auto paused = SoundServer::start(GetParam());
  pids = paused->pids();
  std::filesystem::path home = *paused->client_environment()["HOME"];
  paused->pause();  // a stopped server must still go away
  paused.reset();
  for (pid_t pid : pids) EXPECT_TRUE(process_gone(pid)) << pid;
  EXPECT_FALSE(std::filesystem::exists(home.parent_path()));
}

TEST_P(SoundServerTest, FailedRequestThrowsWithServerLog) {
  auto server = SoundServer::start(GetParam());
  try {
    server->load_module("module-tavikrec-no-such-module", "");
    FAIL() << "a missing module was loaded";
  } catch (const std::runtime_error& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("load-module module-tavikrec-no-such-module"), std::string::npos) << message;
    EXPECT_NE(message.find("--- "), std::string::npos) << message;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerTest, testing::all_servers(), testing::server_test_name);

// Only PulseAudio can be without defaults; PipeWire's pulse server always
// names one.
TEST(PulseAudioServerTest, NoDevicesMeansNoDefaults) {
  auto server = SoundServer::start(ServerKind::PulseAudio);
  std::string info = server->pactl({"info"});
  EXPECT_NE(info.find("\nDefault Sink: (null)\n"), std::string::npos) << info;
  EXPECT_NE(info.find("\nDefault Source: (null)\n"), std::string::npos) << info;
}

TEST(PulseAudioServerTest, SuspendsAndResumesSource) {
  auto server = SoundServer::start(ServerKind::PulseAudio, ServerSetup{.sources = {{"mic", "Mic"}}});
  server->suspend_source("mic", true);
  EXPECT_NE(server->pactl({"list", "short", "sources"}).find("\tSUSPENDED"), std::string::npos);
  server->suspend_source("mic", false);
  EXPECT_EQ(server->pactl({"list", "short", "sources"}).find("\tSUSPENDED"), std::string::npos);
}

TEST(PulseAudioServerTest, RejectsNameItWouldRename) {
  auto server = SoundServer::start(ServerKind::PulseAudio);
  EXPECT_THROW(server->add_source({"odd name", "Odd"}), std::invalid_argument);
}

TEST(TestSignalTest, MeasuresSineLevelAndFrequency) {
  auto sine = testing::sine_wave(440, 8000, testing::kTestSampleRate);
  EXPECT_NEAR(testing::rms_level(sine), 8000 / std::sqrt(2.0), 10);
  EXPECT_NEAR(testing::zero_crossing_frequency(sine), 440, 2);
  EXPECT_EQ(testing::rms_level({}), 0);
  EXPECT_EQ(testing::zero_crossing_frequency({}), 0);
}

}  // namespace
}  // namespace tavikrec
