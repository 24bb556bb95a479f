// Every input in fuzz/corpus/{target}/ goes through its harness once. A
// harness aborts when a property breaks, which fails the test (each test
// runs in its own process); the input's name is printed first.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "fuzz_check.h"
#include "targets.h"

namespace tavikrec::fuzz {

// Test names show the target, not its bytes.
void PrintTo(const NamedTarget& target, std::ostream* out) { *out << target.name; }

namespace {

namespace fs = std::filesystem;

class CorpusReplay : public ::testing::TestWithParam<NamedTarget> {};

std::vector<std::uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_P(CorpusReplay, EveryInputKeepsItsProperties) {
  fs::path dir = fs::path(TAVIKREC_SOURCE_DIR) / "fuzz" / "corpus" / GetParam().name;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::cerr << "replaying " << entry.path().filename().string() << "\n";
    GetParam().run(read_file(entry.path()));
    ++replayed;
  }
  EXPECT_GT(replayed, 0) << "empty corpus " << dir;
}

// A clean replay proves something only if the harnesses can fail and their
// own UTF-8 oracle is right at the edges of the well-formedness table.
TEST(CorpusReplayHarness, BrokenPropertyAborts) {
  EXPECT_DEATH(require(false, "test property"), "property violated: test property");
}

TEST(CorpusReplayHarness, Utf8OracleFollowsTheWellFormednessTable) {
  for (std::string_view valid : {"", "a\x7f", "\xc2\x80", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                                 "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_valid_utf8(valid)) << testing::PrintToString(valid);
  }
  for (std::string_view invalid : {"\x80", "\xc1\xbf", "\xc2", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xf0\x8f\xbf\xbf",
                                   "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82", "\xe2\x28\xa1"}) {
    EXPECT_FALSE(is_valid_utf8(invalid)) << testing::PrintToString(invalid);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(kTargets),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tavikrec::fuzz
