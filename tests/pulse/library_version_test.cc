#include "pulse/library_version.h"

#include <gtest/gtest.h>

namespace tavikrec {
namespace {

TEST(LibraryVersionTest, AcceptsThreeFieldsFromMajorEight) {
  for (const char* version : {"8.0.0", "16.1.0", "+16.1.0", "16.+1.+0", "255.255.255", "016.01.00"}) {
    EXPECT_TRUE(library_version_supported(version)) << version;
  }
}

TEST(LibraryVersionTest, RefusesOldMajorVersions) {
  EXPECT_FALSE(library_version_supported("7.1.0"));
  EXPECT_FALSE(library_version_supported("0.9.21"));
}

TEST(LibraryVersionTest, RefusesWhatDoesNotReadAsThreeNumbers) {
  for (const char* version : {"", "16", "16.1", "16.1.0.1", "16..0", ".16.1", "16.1.", "+", "+.1.0", "16.+.0",
                              "256.0.0", "16.256.0", "99999999999999999999.0.0", "16.1.0-rc", "-16.1.0", " 16.1.0",
                              "16.1.0 ", "16.1.0\n", "x.1.0", "++16.1.0"}) {
    EXPECT_FALSE(library_version_supported(version)) << '"' << version << '"';
  }
}

}  // namespace
}  // namespace tavikrec
