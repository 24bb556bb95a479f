#include "fuzz_check.h"

#include <cstdio>
#include <cstdlib>

namespace tavikrec::fuzz {

void require(bool holds, std::string_view what) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < text.size()) {
    unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Range of the second byte and the sequence length, per lead byte.
    unsigned char low = 0x80, high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    if (byte(i + 1) < low || byte(i + 1) > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

SplitRandom::SplitRandom(std::span<const std::uint8_t> data) : state_(0x9E3779B97F4A7C15ULL) {
  // FNV-1a over the input picks the seed.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (std::uint8_t b : data) hash = (hash ^ b) * 0x100000001b3ULL;
  state_ ^= hash;
}

std::size_t SplitRandom::next(std::size_t bound) {
  // splitmix64
  state_ += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<std::size_t>(z % (bound + 1));
}

}  // namespace tavikrec::fuzz
