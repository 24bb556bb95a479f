// Turns the byte runs that a record stream hands out into signed 16-bit
// little-endian samples. The server may split a sample across two reads, so
// an odd trailing byte is carried over to the next read.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavikrec {

class SampleAssembler {
 public:
  // Returns the samples completed by `bytes`. The returned view stays valid
  // until the next call (the storage is reused from read to read).
  std::span<const std::int16_t> assemble(std::span<const std::uint8_t> bytes);

  bool has_carry() const { return has_carry_; }

 private:
  std::vector<std::int16_t> samples_;
  bool has_carry_ = false;
  std::uint8_t carry_ = 0;
};

}  // namespace tavikrec
