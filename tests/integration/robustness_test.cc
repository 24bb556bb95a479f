// The built binary at its edges: the longest arguments the kernel passes,
// device texts tens of kB long or full of control characters, a parent that
// stops reading for a minute, and many short runs in a row on one server.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "integration/capture_rig.h"
#include "integration/listing_run.h"
#include "support/module_arguments.h"

namespace tavikrec::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kUsage =
    "tavikrec: usage: tavikrec [--mic] [--system] [--mic-device ID] | --devices [--mic-device ID] | --list-inputs";
const std::string kReady = "tavikrec: ready";
const std::string kStopped = "tavikrec: stopped";

// The kernel refuses a single argument of 128 KiB or more (MAX_ARG_STRLEN,
// terminating NUL included).
constexpr size_t kLongestArgument = 128 * 1024 - 1;

// Compares long texts by their first difference rather than printing both.
void expect_same_text(const std::string& actual, const std::string& expected) {
  auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (a == actual.end() && e == expected.end()) return;
  auto at = static_cast<size_t>(a - actual.begin());
  size_t from = at < 40 ? 0 : at - 40;
  ADD_FAILURE() << "sizes " << actual.size() << " and " << expected.size() << " differ from byte " << at
                << "\nactual:   ..." << actual.substr(from, 120) << "\nexpected: ..." << expected.substr(from, 120);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every byte of stderr belongs to a "tavikrec: " line that ends in a line
// feed: a control character that slipped through unescaped would split one.
void expect_only_diagnostic_lines(const std::string& err) {
  EXPECT_TRUE(err.empty() || err.back() == '\n') << "unterminated stderr";
  for (const std::string& line : lines_of(err)) {
    EXPECT_TRUE(line.starts_with("tavikrec: ")) << "stray line: " << line.substr(0, 200);
    EXPECT_EQ(line.find('\r'), std::string::npos) << line.substr(0, 200);
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line.substr(0, 200);
  }
}

struct PlainRun {
  ExitStatus status;
  std::string out;
  std::string err;
};

PlainRun run_plain(const std::vector<std::string>& args) {
  ChildProcess child(TAVIKREC_BINARY, args);
  ExitStatus status = child.wait_or_kill(20s);
  return {status, child.stdout_bytes(), child.stderr_text()};
}

TEST(LongArguments, AboutOneMegabyteOfArgumentsEndsInOneErrorLine) {
  // Seven longest-possible microphone choices, then a longest-possible
  // unknown argument: about 1 MB for the parser to walk.
  std::vector<std::string> args;
  for (int i = 0; i < 7; ++i) {
    args.push_back("--mic-device");
    args.push_back(std::string(kLongestArgument, static_cast<char>('a' + i)));
  }
  std::string unknown = "--" + std::string(kLongestArgument - 2, 'u');
  args.push_back(unknown);
  PlainRun run = run_plain(args);
  EXPECT_EQ(run.status, ExitStatus::Code(2));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(lines_of(run.err), (std::vector<std::string>{"tavikrec: unknown argument " + unknown, kUsage}));
}

TEST(LongArguments, LongFlagAsMicrophoneChoiceIsNamedOnOneLine) {
  std::string flag = "--" + std::string(kLongestArgument - 2, 'f');
  PlainRun run = run_plain({"--mic", "--mic-device", flag});
  EXPECT_EQ(run.status, ExitStatus::Code(2));
  EXPECT_EQ(lines_of(run.err),
            (std::vector<std::string>{"tavikrec: --mic-device needs a device id or name, not the flag " + flag, kUsage}));
}

TEST(ControlCharacters, UnknownArgumentIsEscapedOnOneLine) {
  PlainRun run = run_plain({"--bad\nline\r\ttab\x1b[2Jdel\x7f"});
  EXPECT_EQ(run.status, ExitStatus::Code(2));
  EXPECT_EQ(run.err, "tavikrec: unknown argument --bad\\nline\\r\\ttab\\u001b[2Jdel\\u007f\n" + kUsage + "\n");
}

// A microphone choice that matches nothing, as long as an argument can be and
// holding control characters: after the search, one FATAL line quoting it.
TEST(LongArguments, UnmatchedLongChoiceIsQuotedOnOneFatalLine) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  setup.sources = {{"tv.mic", "Mic"}};
  auto server = SoundServer::start(ServerKind::PulseAudio, setup);
  std::string tail(kLongestArgument - 12, 'x');
  std::string choice = "Mic\n\r\t\x1b" + tail;
  std::string expected = "tavikrec: FATAL: the selected microphone \"Mic\\n\\r\\t\\u001b" + tail +
                         "\" is not available \u2014 run `tavik devices` to list what is connected, or pass "
                         "--mic-device default\n";

  ListingRun listing = run_listing(*server, {"--devices", "--mic", "--mic-device", choice});
  EXPECT_EQ(listing.status, ExitStatus::Code(1));
  EXPECT_EQ(listing.out, "");
  EXPECT_EQ(listing.err, expected);

  ListingRun capture = run_listing(*server, {"--mic", "--mic-device", choice});
  EXPECT_EQ(capture.status, ExitStatus::Code(1));
  EXPECT_EQ(capture.err, expected);
}

// Creates a null microphone whose texts may hold anything, line feeds
// included (the fixture's add_source parses pactl's listing line by line, so
// it cannot wait for those), and waits until the program lists `listed_item`.
void add_raw_source(SoundServer& server, const std::string& name, const std::string& description,
                    const std::string& listed_item) {
  if (server.kind() == ServerKind::PulseAudio) {
    server.load_module("module-null-source", "source_name=" + name + " description=" + quoted_module_value(description));
  } else {
    std::string properties = "{ factory.name=support.null-audio-sink node.name=" + json_string(name) +
                             " node.description=" + json_string(description) +
                             " media.class=Audio/Source/Virtual audio.position=[ MONO ] object.linger=true }";
    ClientResult r = server.run_client("pw-cli", {"create-node", "adapter", properties});
    ASSERT_EQ(r.status, ExitStatus::Code(0)) << r.err;
  }
  auto deadline = Clock::now() + 10s;
  std::string out;
  while (Clock::now() < deadline) {
    out = run_listing(server, {"--list-inputs"}).out;
    if (out.find(listed_item) != std::string::npos) return;
    std::this_thread::sleep_for(100ms);
  }
  FAIL() << "never listed: " << listed_item.substr(0, 200) << "\nlisting: " << out.substr(0, 400);
}

class DeviceTexts : public ::testing::TestWithParam<ServerKind> {};

TEST_P(DeviceTexts, LongDescriptionIsListedAndChosenByteExact) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  setup.sources = {{"tv.plain", "Plain"}};
  setup.default_source = "tv.plain";
  auto server = SoundServer::start(GetParam(), setup);
  // About 40 kB. pw-cli overflows its stack on a property this long, and
  // PipeWire's module arguments mangle quotation marks and backslashes, so
  // only PulseAudio gets characters that JSON escapes.
  bool pulseaudio = GetParam() == ServerKind::PulseAudio;
  std::string piece = pulseaudio ? "Mic \"q\" \\ caf\u00e9 " : "Mic q caf\u00e9 \u65e5\u672c ";
  std::string escaped_piece = pulseaudio ? "Mic \\\"q\\\" \\\\ caf\u00e9 " : piece;
  std::string description, escaped;
  while (description.size() < 40000) {
    description += piece;
    escaped += escaped_piece;
  }
  if (pulseaudio) {
    server->add_source({"tv.long", description});
  } else {
    server->add_remap_source("tv.long", description, "tv.out.monitor");
  }

  ListingRun inputs = run_listing(*server, {"--list-inputs"});
  EXPECT_EQ(inputs.status, ExitStatus::Code(0)) << inputs.err;
  expect_same_text(inputs.out, "[{\"id\": \"tv.plain\", \"name\": \"Plain\", \"default\": true}, {\"id\": \"tv.long\", \"name\": \"" + escaped + "\", \"default\": false}]\n");

  ListingRun devices = run_listing(*server, {"--devices", "--mic", "--mic-device", description});
  EXPECT_EQ(devices.status, ExitStatus::Code(0)) << devices.err.substr(0, 400);
  expect_same_text(devices.out, "{\"mic\": \"" + escaped + "\"}\n");
}

TEST_P(DeviceTexts, DescriptionWithControlCharactersIsListedAndCaptured) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  auto server = SoundServer::start(GetParam(), setup);
  std::string description = "Desk\nMic\rOne\x1b[31m\tRed";
  std::string item = "{\"id\": \"tv.ctl\", \"name\": \"Desk\\nMic\\rOne\\u001b[31m\\tRed\", \"default\": ";
  add_raw_source(*server, "tv.ctl", description, item);

  ChildOptions options = listing_options(*server);
  ChildProcess child(TAVIKREC_BINARY, {"--mic", "--mic-device", description}, options);
  ASSERT_TRUE(child.wait_for_line(kReady, 40s)) << child.stderr_text();
  std::this_thread::sleep_for(500ms);
  child.close_stdin();
  EXPECT_EQ(child.wait_or_kill(20s), ExitStatus::Code(0)) << child.stderr_text();
  expect_only_diagnostic_lines(child.stderr_text());
  EXPECT_EQ(child.stderr_lines(), (std::vector<std::string>{"tavikrec: mic capturing from tv.ctl", kReady, kStopped}));
  CapturedStream stream = read_stream(child.stdout_bytes());
  EXPECT_EQ(stream.error, "");
  EXPECT_FALSE(stream.audio[0].empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, DeviceTexts, ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire),
                         server_test_name);

// PulseAudio keeps device names to [A-Za-z0-9_.-]; PipeWire takes any text,
// so only there does a control character reach the announcement line.
TEST(ControlCharacters, DeviceNameInTheAnnouncementStaysOneLine) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  auto server = SoundServer::start(ServerKind::PipeWire, setup);
  std::string name = "tv\nctl\x1b[0m";
  add_raw_source(*server, name, "Odd Name", "{\"id\": \"tv\\nctl\\u001b[0m\", \"name\": \"Odd Name\"");

  ChildProcess child(TAVIKREC_BINARY, {"--mic", "--mic-device", name}, listing_options(*server));
  ASSERT_TRUE(child.wait_for_line(kReady, 40s)) << child.stderr_text();
  child.close_stdin();
  EXPECT_EQ(child.wait_or_kill(20s), ExitStatus::Code(0)) << child.stderr_text();
  expect_only_diagnostic_lines(child.stderr_text());
  EXPECT_EQ(child.stderr_lines(),
            (std::vector<std::string>{"tavikrec: mic capturing from tv\\nctl\\u001b[0m", kReady, kStopped}));
}

}  // namespace
}  // namespace tavikrec::testing
