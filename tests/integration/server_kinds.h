// The servers every server test runs on, and the names of its instances.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/server_files.h"

namespace tavikrec::testing {

inline auto all_servers() {
  return ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire, ServerKind::PipeWire14);
}

inline std::string server_test_name(const ::testing::TestParamInfo<ServerKind>& info) {
  return server_kind_name(info.param);
}

}  // namespace tavikrec::testing
