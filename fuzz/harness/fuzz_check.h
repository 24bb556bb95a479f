// What every fuzz harness shares: the property check that turns a broken
// promise into a crash the fuzzer records, and an independent UTF-8
// validator (written from the Unicode well-formedness table, not from the
// code under test).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tavikrec::fuzz {

// Prints "property violated: {what}" to stderr and aborts when `holds` is
// false, so that AFL files the input as a crash and a replay test fails.
void require(bool holds, std::string_view what);

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequences.
bool is_valid_utf8(std::string_view text);

// The bytes as text, without copying.
inline std::string_view as_text(std::span<const std::uint8_t> data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// A small deterministic generator for split points derived from the input
// itself, so that a replayed input is split exactly as when it was found.
class SplitRandom {
 public:
  explicit SplitRandom(std::span<const std::uint8_t> data);
  // Uniform-ish in [0, bound]; REQUIRES: bound < 2^32.
  std::size_t next(std::size_t bound);

 private:
  std::uint64_t state_;
};

}  // namespace tavikrec::fuzz
