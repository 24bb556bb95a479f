#include "capture/sample_assembler.h"

#include "base/little_endian.h"
#include "base/units.h"

namespace tavikrec {
namespace {

std::int16_t sample_at(const std::uint8_t* bytes) {
  return static_cast<std::int16_t>(load_little_endian<std::uint16_t>(bytes));
}

}  // namespace

std::span<const std::int16_t> SampleAssembler::assemble(std::span<const std::uint8_t> bytes) {
  samples_.clear();
  if (has_carry_ && !bytes.empty()) {
    const std::uint8_t split[kBytesPerSample] = {carry_, bytes.front()};
    samples_.push_back(sample_at(split));
    bytes = bytes.subspan(1);
    has_carry_ = false;
  }
  size_t whole = bytes.size() / kBytesPerSample;
  for (size_t i = 0; i < whole; ++i) samples_.push_back(sample_at(&bytes[kBytesPerSample * i]));
  if (bytes.size() % kBytesPerSample != 0) {
    carry_ = bytes.back();
    has_carry_ = true;
  }
  return samples_;
}

}  // namespace tavikrec
