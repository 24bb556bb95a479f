#include "cli/run_options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace tavikrec {
namespace {

std::expected<RunOptions, std::string> parse(std::initializer_list<std::string_view> args) {
  std::vector<std::string_view> v(args);
  return parse_arguments(v);
}

std::optional<std::string> choice(std::initializer_list<std::string_view> args) {
  auto options = parse(args);
  EXPECT_TRUE(options.has_value()) << options.error();
  return options ? options->mic_device : std::nullopt;
}

TEST(ParseArguments, MicDeviceValues) {
  EXPECT_EQ(choice({"--mic", "--mic-device", "-"}), "-");
  EXPECT_EQ(choice({"--mic-device", "-x"}), "-x");
  EXPECT_EQ(choice({"--mic-device", "default"}), std::nullopt);
  EXPECT_EQ(choice({"--mic-device", " \tdefault\xe3\x80\x80"}), std::nullopt);
  EXPECT_EQ(choice({"--mic-device", "Default"}), "Default");
  EXPECT_EQ(choice({"--mic-device", "DEFAULT"}), "DEFAULT");
  // Kept as typed: not trimmed, not normalized.
  EXPECT_EQ(choice({"--mic-device", " Mic\xcc\x81 "}), " Mic\xcc\x81 ");
  EXPECT_EQ(choice({"--mic-device", "A", "--mic-device", "default"}), std::nullopt);
  EXPECT_EQ(choice({"--mic-device", "default", "--mic-device", "A"}), "A");
  EXPECT_EQ(choice({"--mic-device", ""}), "");
}

TEST(ParseArguments, MicDeviceValueErrors) {
  EXPECT_EQ(parse({"--mic", "--mic-device"}).error(), "--mic-device needs a device id or name");
  EXPECT_EQ(parse({"--mic-device", "--mic"}).error(), "--mic-device needs a device id or name, not the flag --mic");
  EXPECT_EQ(parse({"--mic-device", "--", "--mic"}).error(), "--mic-device needs a device id or name, not the flag --");
}

TEST(ParseArguments, UnknownArguments) {
  for (std::string_view arg : {"--mic=foo", "--", "-", "mic", "-mh", "--MIC", "--mi"}) {
    EXPECT_EQ(parse({"--mic", arg}).error(), "unknown argument " + std::string(arg)) << arg;
  }
  EXPECT_EQ(parse({""}).error(), "unknown argument ");
  // The first error wins, and an error beats help.
  EXPECT_EQ(parse({"-h", "--bogus", "--other"}).error(), "unknown argument --bogus");
}

TEST(ParseArguments, InvalidUtf8NeverMatchesAndIsQuotedWithReplacement) {
  EXPECT_EQ(parse({"--mic\xff"}).error(), "unknown argument --mic\xef\xbf\xbd");
  EXPECT_EQ(parse({"--mic-device", "--\xc3"}).error(),
            "--mic-device needs a device id or name, not the flag --\xef\xbf\xbd");
  EXPECT_EQ(choice({"--mic-device", "a\xffz"}), "a\xef\xbf\xbdz");
}

TEST(ParseArguments, FlagsAndSourceList) {
  auto options = parse({"--system", "--mic", "--system", "-h", "--help", "--devices", "--list-inputs", "--version"});
  ASSERT_TRUE(options);
  EXPECT_TRUE(options->mic && options->system && options->devices && options->list_inputs && options->help &&
              options->version);
  EXPECT_FALSE(parse({"--mic"})->version);
  EXPECT_EQ(source_list(*options), (SourceList{SourceKind::Mic, SourceKind::System}));
  EXPECT_EQ(source_list(*parse({"--system"})), SourceList{SourceKind::System});
  EXPECT_TRUE(source_list(*parse({})).empty());
}

}  // namespace
}  // namespace tavikrec
