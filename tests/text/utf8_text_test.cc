#include "text/utf8_text.h"

#include <gtest/gtest.h>

namespace tavikrec {
namespace {

const std::string kReplacement = "\xef\xbf\xbd";

TEST(DecodeUtf8Lossy, ValidTextUnchanged) {
  for (std::string text : {"", "plain", "\xc3\xa9\xe2\x80\x94\xf0\x9f\x8e\xa4", "\x7f\x01"}) {
    EXPECT_EQ(decode_utf8_lossy(text), text);
  }
  EXPECT_EQ(decode_utf8_lossy(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(DecodeUtf8Lossy, ReplacesEachInvalidSequence) {
  EXPECT_EQ(decode_utf8_lossy("a\xff" "b"), "a" + kReplacement + "b");
  EXPECT_EQ(decode_utf8_lossy("\xc3"), kReplacement);                 // truncated at the end
  EXPECT_EQ(decode_utf8_lossy("\xe2\x80" "x"), kReplacement + "x");   // truncated inside: one U+FFFD
  EXPECT_EQ(decode_utf8_lossy("\xc0\xaf"), kReplacement + kReplacement);  // overlong
  EXPECT_EQ(decode_utf8_lossy("\xed\xa0\x80"), kReplacement + kReplacement + kReplacement);  // surrogate
  EXPECT_EQ(decode_utf8_lossy("\x80\x80"), kReplacement + kReplacement);  // stray continuations
  EXPECT_EQ(decode_utf8_lossy("\xf4\x90\x80\x80"), kReplacement + kReplacement + kReplacement + kReplacement);  // > U+10FFFF
  EXPECT_EQ(decode_utf8_lossy("\xf0\x9f\x8e" "\xc3\xa9"), kReplacement + "\xc3\xa9");  // 3 of 4, then a whole one
}

}  // namespace
}  // namespace tavikrec
