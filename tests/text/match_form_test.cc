#include "text/match_form.h"

#include <gtest/gtest.h>

namespace tavikrec {
namespace {

TEST(NormalizeForMatch, ComposesToNfc) {
  EXPECT_EQ(normalize_for_match("Mic\xc3\xb3"), "Mic\xc3\xb3");
  EXPECT_EQ(normalize_for_match("Mico\xcc\x81"), "Mic\xc3\xb3");  // o + U+0301
  // Canonical ordering of combining marks: dot below (220) before dot above (230).
  EXPECT_EQ(normalize_for_match("q\xcc\x87\xcc\xa3"), normalize_for_match("q\xcc\xa3\xcc\x87"));
  // No compatibility mapping: the ligature U+FB01 stays.
  EXPECT_EQ(normalize_for_match("\xef\xac\x81"), "\xef\xac\x81");
}

TEST(NormalizeForMatch, TrimsWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(normalize_for_match(" \t\xe3\x80\x80USB Mic\xc2\xa0\n\xe2\x80\xa8"), "USB Mic");
  EXPECT_EQ(normalize_for_match("USB  \t Mic"), "USB  \t Mic");
  // Zero-width space has no White_Space property, so it stays.
  EXPECT_EQ(normalize_for_match("\xe2\x80\x8bx"), "\xe2\x80\x8bx");
  EXPECT_EQ(normalize_for_match(" \t\xe3\x80\x80\xe2\x80\x8a "), "");
  EXPECT_EQ(normalize_for_match(""), "");
  // Invalid bytes count as U+FFFD, which is no white space.
  EXPECT_EQ(normalize_for_match(" \xff\t"), "\xef\xbf\xbd");
}

TEST(NormalizeForMatch, KeepsCase) {
  EXPECT_NE(normalize_for_match("Default"), normalize_for_match("default"));
  EXPECT_EQ(normalize_for_match(" default "), "default");
}

}  // namespace
}  // namespace tavikrec
