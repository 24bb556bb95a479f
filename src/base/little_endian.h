// Unsigned integers to and from little-endian bytes, the byte order of the
// frame stream, the server's s16le samples and WAV files.
#pragma once

#include <cstddef>
#include <type_traits>

namespace tavikrec {

template <class Byte>
concept RawByte = std::is_same_v<Byte, std::byte> || std::is_same_v<Byte, unsigned char>;

// Writes the sizeof(Unsigned) bytes of `value` at `out`; returns the end.
template <class Unsigned, RawByte Byte>
  requires std::is_unsigned_v<Unsigned>
Byte* store_little_endian(Unsigned value, Byte* out) {
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i) *out++ = static_cast<Byte>((value >> (8 * i)) & 0xff);
  return out;
}

// Reads sizeof(Unsigned) bytes at `in`.
template <class Unsigned, RawByte Byte>
  requires std::is_unsigned_v<Unsigned>
Unsigned load_little_endian(const Byte* in) {
  Unsigned value = 0;
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
    value = static_cast<Unsigned>(value | (static_cast<Unsigned>(in[i]) << (8 * i)));
  }
  return value;
}

}  // namespace tavikrec
