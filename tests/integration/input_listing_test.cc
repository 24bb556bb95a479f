// --list-inputs against real PulseAudio and PipeWire servers: the exact JSON
// line, what is left out, and the default flag.
#include <gtest/gtest.h>

#include "integration/listing_run.h"

namespace tavikrec::testing {
namespace {

class InputListing : public ::testing::TestWithParam<ServerKind> {
 protected:
  std::string list(const ServerSetup& setup) {
    auto server = SoundServer::start(GetParam(), setup);
    ListingRun run = run_listing(*server, {"--list-inputs"});
    EXPECT_EQ(run.status, ExitStatus::Code(0)) << run.err;
    EXPECT_EQ(run.err, "");
    return run.out;
  }
};

TEST_P(InputListing, ByteExactInServerOrderWithEscapes) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  setup.sources = {
      {"tv.odd", "Mic \"quoted\" back\\slash tab\tesc\x1b del\x7f caf\u00e9 \u00c5ngstr\u00f6m"},
      {"tv.twin.a", "Twin"},
      {"tv.twin.b", "Twin"},
      {"tv.plain", "Plain"},
  };
  setup.default_source = "tv.twin.b";
  EXPECT_EQ(list(setup),
            "[{\"id\": \"tv.odd\", \"name\": \"Mic \\\"quoted\\\" back\\\\slash tab\\tesc\\u001b del\x7f caf\u00e9 "
            "\u00c5ngstr\u00f6m\", \"default\": false}, "
            "{\"id\": \"tv.twin.a\", \"name\": \"Twin\", \"default\": false}, "
            "{\"id\": \"tv.twin.b\", \"name\": \"Twin\", \"default\": true}, "
            "{\"id\": \"tv.plain\", \"name\": \"Plain\", \"default\": false}]\n");
}

TEST_P(InputListing, OnlyMonitorsGiveAnEmptyList) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}, {"tv.hdmi", "HDMI"}};
  EXPECT_EQ(list(setup), "[]\n");
}

TEST_P(InputListing, DefaultOnAMonitorMarksNoEntry) {
  ServerSetup setup;
  setup.sinks = {{"tv.out", "Speakers"}};
  setup.sources = {{"tv.mic", "Mic"}, {"tv.usb", "USB"}};
  setup.default_source = "tv.out.monitor";
  EXPECT_EQ(list(setup),
            "[{\"id\": \"tv.mic\", \"name\": \"Mic\", \"default\": false}, "
            "{\"id\": \"tv.usb\", \"name\": \"USB\", \"default\": false}]\n");
}

INSTANTIATE_TEST_SUITE_P(Servers, InputListing, all_servers(), server_test_name);

}  // namespace
}  // namespace tavikrec::testing
