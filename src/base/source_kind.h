// The capture sources. The numeric value is the channel tag of every frame
// of that source; readers of the frame stream rely on 0 = microphone and
// 1 = system output, so the values never change.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tavikrec {

enum class SourceKind : std::uint8_t { Mic = 0, System = 1 };

// "mic" or "system": the record stream's name, and how messages and JSON
// keys name the source.
constexpr std::string_view display_name(SourceKind kind) {
  return kind == SourceKind::Mic ? "mic" : "system";
}

constexpr std::uint8_t channel_tag(SourceKind kind) { return static_cast<std::uint8_t>(kind); }

using SourceList = std::vector<SourceKind>;

}  // namespace tavikrec
