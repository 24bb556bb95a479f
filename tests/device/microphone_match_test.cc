// The matching rules of one resolution attempt; the waiting and the server
// side are covered by the device listing tests against a real server.
#include <gtest/gtest.h>

#include <vector>

#include "device/microphone_resolver.h"

namespace tavikrec {
namespace {

const std::vector<SourceEntry> kCatalogue = {
    {"alsa_input.usb", "USB Mic", false},
    {"alsa_input.pci", "alsa_input.usb.extra", true},
    {"alsa_input.caf\u00e9", "Caf\u00e9 Mic", false},
    {"twin.a", "Twin", false},
    {"twin.b", "Twin", false},
};

std::optional<SourceEntry> matched(std::string_view choice, const std::vector<SourceEntry>& catalogue = kCatalogue) {
  auto result = match_microphone(catalogue, choice);
  EXPECT_TRUE(result.has_value()) << result.error();
  return result.value_or(std::nullopt);
}

TEST(MicrophoneMatchTest, MatchesIdsAndNamesInComparisonForm) {
  EXPECT_EQ(matched(" \talsa_input.usb\t ")->id, "alsa_input.usb");
  EXPECT_EQ(matched("USB Mic")->id, "alsa_input.usb");
  // NFD against the stored NFC, for ids and names alike.
  EXPECT_EQ(matched("Cafe\u0301 Mic")->id, "alsa_input.caf\u00e9");
  EXPECT_EQ(matched("alsa_input.cafe\u0301")->id, "alsa_input.caf\u00e9");
}

TEST(MicrophoneMatchTest, IdBeatsAnEarlierName) {
  const std::vector<SourceEntry> catalogue = {{"first", "second", false}, {"second", "Other", false}};
  EXPECT_EQ(matched("second", catalogue)->id, "second");
}

TEST(MicrophoneMatchTest, NoMatchIsEmptyNotAnError) {
  EXPECT_FALSE(matched("usb mic"));  // case differs
  EXPECT_FALSE(matched(""));
  EXPECT_FALSE(matched("USB"));
  EXPECT_FALSE(matched("x", {}));
}

TEST(MicrophoneMatchTest, SharedNameIsAmbiguousWithCountAndIdsInOrder) {
  auto result = match_microphone(kCatalogue, " Twin");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            "the microphone name \" Twin\" matches 2 connected devices (twin.a, twin.b) \u2014 pass one of those IDs "
            "to --mic-device instead");
  auto three = kCatalogue;
  three.push_back({"twin.c", "Twin", false});
  result = match_microphone(three, "Twin");
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().find("matches 3 connected devices (twin.a, twin.b, twin.c)"), std::string::npos);
}

}  // namespace
}  // namespace tavikrec
