#include "text/json_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace tavikrec {
namespace {

using namespace std::string_literals;

TEST(JsonEscapeTest, ShortEscapesOnlyForQuoteBackslashTabLineFeedReturn) {
  EXPECT_EQ(json_escape("a\"b\\c\td\ne\rf"), "a\\\"b\\\\c\\td\\ne\\rf");
}

TEST(JsonEscapeTest, OtherControlCharactersAsLowerCaseUnicodeEscapes) {
  EXPECT_EQ(json_escape("\x1b"), "\\u001b");
  EXPECT_EQ(json_escape("\b\f"), "\\u0008\\u000c");
  EXPECT_EQ(json_escape("\x01\x1f"), "\\u0001\\u001f");
  EXPECT_EQ(json_escape("a\0b"s), "a\\u0000b");
}

TEST(JsonEscapeTest, LeavesEverythingElseAlone) {
  const std::string kept = "/ \x7f \u00e9 \u2028 \u2029 \U0001f3a4 plain";
  EXPECT_EQ(json_escape(kept), kept);
  EXPECT_EQ(json_escape(""), "");
}

}  // namespace
}  // namespace tavikrec
