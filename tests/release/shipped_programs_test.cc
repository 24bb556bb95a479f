// The programs as applications ship them beside themselves: they load
// nothing but libpulse and glibc, need no glibc newer than the one stated in
// CMakeLists.txt, stay small once stripped, and name their version.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "support/child_process.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ChildOptions;
using testing::ExitStatus;
using testing::StreamMode;

struct Outcome {
  ExitStatus status;
  std::string out;
  std::string err;
};

Outcome run(const std::string& program, const std::vector<std::string>& args) {
  ChildOptions options;
  options.stdin_mode = StreamMode::Closed;
  ChildProcess child(program, args, options);
  ExitStatus status = child.wait_or_kill(60s);
  return {status, child.stdout_bytes(), child.stderr_text()};
}

// The output of a binutils tool that must succeed.
std::string tool_output(const std::string& tool, const std::vector<std::string>& args) {
  Outcome r = run("/usr/bin/" + tool, args);
  EXPECT_EQ(r.status, ExitStatus::Code(0)) << tool << ": " << r.err;
  return r.out;
}

std::set<std::string> needed_libraries(const std::string& binary) {
  std::set<std::string> needed;
  std::istringstream dynamic(tool_output("readelf", {"--dynamic", "--wide", binary}));
  for (std::string line; std::getline(dynamic, line);) {
    // 0x0000000000000001 (NEEDED)             Shared library: [libc.so.6]
    auto open = line.find('[');
    auto close = line.rfind(']');
    if (line.find("(NEEDED)") != std::string::npos && open != std::string::npos && close > open) {
      needed.insert(line.substr(open + 1, close - open - 1));
    }
  }
  return needed;
}

using GlibcVersion = std::vector<int>;

GlibcVersion parse_version(const std::string& text) {
  GlibcVersion version;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, '.');) version.push_back(std::stoi(part));
  return version;
}

// The newest GLIBC_x.y among the dynamic symbols the binary takes from glibc.
std::string newest_glibc(const std::string& binary) {
  std::string symbols = tool_output("objdump", {"--dynamic-syms", binary});
  std::string newest;
  for (auto at = symbols.find("GLIBC_"); at != std::string::npos; at = symbols.find("GLIBC_", at + 1)) {
    auto digits = at + 6;
    auto end = symbols.find_first_not_of("0123456789.", digits);
    std::string version = symbols.substr(digits, end - digits);
    if (version.empty()) continue;  // GLIBC_PRIVATE
    if (newest.empty() || parse_version(newest) < parse_version(version)) newest = version;
  }
  return newest;
}

const std::vector<std::string> kPrograms = {TAVIKREC_BINARY, TAVIKREC_INSPECT};

class ShippedPrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TAVIKREC_SHIPPED_LINKAGE) GTEST_SKIP() << "a sanitizer build links other runtimes";
  }
};

TEST_F(ShippedPrograms, LoadOnlyLibpulseAndGlibc) {
  // ld-linux is the program interpreter of every dynamically linked program;
  // the static C++ runtime's thread-local storage leaves a reference to it.
  const std::set<std::string> allowed = {"libpulse.so.0", "libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"};
  for (const std::string& program : kPrograms) {
    std::set<std::string> needed = needed_libraries(program);
    EXPECT_TRUE(needed.contains("libc.so.6")) << program;
    for (const std::string& library : needed) EXPECT_TRUE(allowed.contains(library)) << program << " needs " << library;
  }
  EXPECT_TRUE(needed_libraries(TAVIKREC_BINARY).contains("libpulse.so.0"));
}

TEST_F(ShippedPrograms, NeedNoNewerGlibcThanStated) {
  for (const std::string& program : kPrograms) {
    std::string newest = newest_glibc(program);
    ASSERT_FALSE(newest.empty()) << program;
    EXPECT_LE(parse_version(newest), parse_version(TAVIKREC_NEWEST_GLIBC))
        << program << " needs GLIBC_" << newest << ", newer than the stated " << TAVIKREC_NEWEST_GLIBC;
  }
}

TEST_F(ShippedPrograms, AtMostTwoMegabytesStripped) {
  for (const std::string& program : kPrograms) {
    auto stripped = std::filesystem::temp_directory_path() /
                    ("tavikrec-release-test-" + std::to_string(::getpid()) + "-stripped");
    tool_output("strip", {"-o", stripped.string(), program});
    auto size = std::filesystem::file_size(stripped);
    std::filesystem::remove(stripped);
    EXPECT_LE(size, 2u * 1024 * 1024) << program;
  }
}

TEST(Version, PrintedOnStdoutAndWinsOverModes) {
  const std::string line = std::string("tavikrec ") + TAVIKREC_VERSION + "\n";
  for (auto args : std::vector<std::vector<std::string>>{
           {"--version"}, {"--mic", "--system", "--version"}, {"--version", "--list-inputs"}, {"--devices", "--version"}}) {
    Outcome r = run(TAVIKREC_BINARY, args);
    EXPECT_EQ(r.status, ExitStatus::Code(0)) << args.back();
    EXPECT_EQ(r.out, line) << args.back();
    EXPECT_EQ(r.err, "") << args.back();
  }
  // Help and argument errors win over it, as they do over the modes.
  Outcome help = run(TAVIKREC_BINARY, {"--version", "--help"});
  EXPECT_EQ(help.status, ExitStatus::Code(0));
  EXPECT_EQ(help.out, "");
  Outcome error = run(TAVIKREC_BINARY, {"--version", "--bogus"});
  EXPECT_EQ(error.status, ExitStatus::Code(2));
  EXPECT_EQ(error.out, "");
}

}  // namespace
}  // namespace tavikrec
