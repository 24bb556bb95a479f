// The fuzz targets: each takes one input of arbitrary bytes, runs a piece of
// tavikrec on it and checks properties of the result with require(). The
// AFL drivers and the corpus replay tests both call them through this table.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tavikrec::fuzz {

using Target = void (*)(std::span<const std::uint8_t> data);

void fuzz_arguments(std::span<const std::uint8_t> data);
void fuzz_normalize(std::span<const std::uint8_t> data);
void fuzz_json_escape(std::span<const std::uint8_t> data);
void fuzz_utf8_decode(std::span<const std::uint8_t> data);
void fuzz_library_version(std::span<const std::uint8_t> data);
void fuzz_sample_assembler(std::span<const std::uint8_t> data);
void fuzz_frame_reader(std::span<const std::uint8_t> data);

struct NamedTarget {
  std::string_view name;  // also the corpus directory fuzz/corpus/{name}
  Target run;
};

inline constexpr NamedTarget kTargets[] = {
    {"arguments", fuzz_arguments},
    {"normalize", fuzz_normalize},
    {"json_escape", fuzz_json_escape},
    {"utf8_decode", fuzz_utf8_decode},
    {"library_version", fuzz_library_version},
    {"sample_assembler", fuzz_sample_assembler},
    {"frame_reader", fuzz_frame_reader},
};

}  // namespace tavikrec::fuzz
