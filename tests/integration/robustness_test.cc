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
  std::string error = "tavikrec: --mic-device needs a device id or name, not the flag " + flag;
  EXPECT_EQ(lines_of(run.err), (std::vector<std::string>{error, kUsage}));
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
    server.load_module("module-null-source",
                       "source_name=" + name + " description=" + quoted_module_value(description));
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
  expect_same_text(inputs.out, "[{\"id\": \"tv.plain\", \"name\": \"Plain\", \"default\": true}, "
                               "{\"id\": \"tv.long\", \"name\": \"" + escaped + "\", \"default\": false}]\n");

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

INSTANTIATE_TEST_SUITE_P(Servers, DeviceTexts, all_servers(), server_test_name);

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

// Resident memory of a process, in KiB.
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  ADD_FAILURE() << "no VmRSS for pid " << pid;
  return 0;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Frames queue without bound while the parent does not read: memory grows
// by what was captured, nothing is dropped, and the backlog comes out whole.
TEST(StalledReader, AMinuteUnreadIsKeptAndDeliveredWhole) {
  CaptureRig rig(ServerKind::PulseAudio);
  auto started = Clock::now();
  auto child = rig.start({"--mic", "--system"});
  ASSERT_TRUE(child->wait_for_line(kReady, 40s)) << child->stderr_text();
  child->pause_stdout(true);
  // The pipe fills within a second; from then on every frame stays queued.
  std::this_thread::sleep_for(5s);
  long queued_from = resident_kib(child->pid());
  constexpr double kStalledSeconds = 55;
  std::this_thread::sleep_for(std::chrono::duration<double>(kStalledSeconds));
  long growth = resident_kib(child->pid()) - queued_from;
  RecordProperty("resident_growth_kib", static_cast<int>(growth));
  // Two channels of 16 kHz 16-bit samples: 64000 bytes a second.
  double expected = kStalledSeconds * 64000 / 1024;
  EXPECT_GT(static_cast<double>(growth), expected * 0.5) << "KiB";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizer allocators add shadow memory and quarantine to every block,
  // so there only the lower bound means anything.
  EXPECT_LT(static_cast<double>(growth), expected * 3) << "KiB";
#endif
  EXPECT_FALSE(child->wait(0ms)) << child->stderr_text();

  child->pause_stdout(false);
  double run_seconds = seconds_since(started);
  EXPECT_TRUE(child->wait_for_stdout(static_cast<size_t>(run_seconds * 64000 * 0.9), 20s));
  child->close_stdin();
  EXPECT_EQ(child->wait_or_kill(20s), ExitStatus::Code(0)) << child->stderr_text();
  EXPECT_EQ(child->stderr_lines().back(), kStopped);
  expect_only_diagnostic_lines(child->stderr_text());
  CapturedStream stream = read_stream(child->stdout_bytes());
  EXPECT_EQ(stream.error, "");
  for (int tag : {0, 1}) {
    double span = static_cast<double>(stream.audio[tag].size()) / 16000;
    EXPECT_NEAR(span, seconds_since(started), 1.5) << "channel " << tag;
  }
}

// What a run could leave behind, seen from this test process.
struct Leftovers {
  std::set<pid_t> children;          // of this process, zombies included
  size_t descriptors = 0;            // open in this process
  std::set<std::string> shm_files;   // in /dev/shm
  std::set<pid_t> segment_creators;  // of live System V shared memory
};

std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

std::set<pid_t> children_of_this_process() {
  std::set<pid_t> children;
  for (const std::string& name : directory_entries("/proc")) {
    if (!std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::ifstream stat("/proc/" + name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    char state;
    pid_t parent;
    if (rest >> state >> parent && parent == ::getpid()) children.insert(std::stoi(name));
  }
  return children;
}

// The cpid column of `ipcs -m -p`.
std::set<pid_t> sysv_shm_creators(const SoundServer& server) {
  ClientResult r = server.run_client("ipcs", {"-m", "-p"});
  EXPECT_EQ(r.status, ExitStatus::Code(0)) << r.err;
  std::set<pid_t> creators;
  for (const std::string& line : lines_of(r.out)) {
    std::istringstream fields(line);
    std::string shmid, owner, cpid;
    if (fields >> shmid >> owner >> cpid && std::all_of(cpid.begin(), cpid.end(), ::isdigit) && !cpid.empty()) {
      creators.insert(std::stoi(cpid));
    }
  }
  return creators;
}

Leftovers leftovers_now(const SoundServer& server) {
  auto shm = directory_entries("/dev/shm");
  return {children_of_this_process(), directory_entries("/proc/self/fd").size(), {shm.begin(), shm.end()},
          sysv_shm_creators(server)};
}

// Clients of the server that are runs of tavikrec (the players of the rig
// connect on their own time, so the total count is no fixed baseline).
size_t tavikrec_client_count(const SoundServer& server) {
  auto lines = lines_of(server.pactl({"list", "clients"}));
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("application.name = \"tavikwerk\"") != std::string::npos;
  }));
}

class ManyRuns : public ::testing::TestWithParam<ServerKind> {};

TEST_P(ManyRuns, ThirtyShortCapturesLeaveNothingBehind) {
  CaptureRig rig(GetParam());
  Leftovers before = leftovers_now(rig.server());
  std::set<pid_t> run_pids;
  for (int i = 0; i < 30; ++i) {
    auto child = rig.start({"--mic", "--system"});
    run_pids.insert(child->pid());
    ASSERT_TRUE(child->wait_for_line(kReady, 40s)) << "run " << i << ": " << child->stderr_text();
    std::this_thread::sleep_for(300ms);
    child->close_stdin();
    ASSERT_EQ(child->wait_or_kill(20s), ExitStatus::Code(0)) << "run " << i << ": " << child->stderr_text();
    EXPECT_EQ(child->stderr_lines().back(), kStopped) << "run " << i;
    EXPECT_EQ(read_stream(child->stdout_bytes()).error, "") << "run " << i;
  }

  Leftovers after = leftovers_now(rig.server());
  EXPECT_EQ(after.children, before.children);
  EXPECT_EQ(after.descriptors, before.descriptors);
  for (const std::string& name : after.shm_files) EXPECT_TRUE(before.shm_files.contains(name)) << "/dev/shm/" << name;
  for (pid_t creator : after.segment_creators) EXPECT_FALSE(run_pids.contains(creator)) << "segment of " << creator;
  // The server notices a client's end on its own time.
  auto deadline = Clock::now() + 10s;
  while (tavikrec_client_count(rig.server()) != 0 && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(tavikrec_client_count(rig.server()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, ManyRuns, all_servers(), server_test_name);

}  // namespace
}  // namespace tavikrec::testing
