#include "capture/sample_assembler.h"

namespace tavikrec {
namespace {

std::int16_t little_endian_sample(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
}

}  // namespace

std::span<const std::int16_t> SampleAssembler::assemble(std::span<const std::uint8_t> bytes) {
  samples_.clear();
  if (has_carry_ && !bytes.empty()) {
    samples_.push_back(little_endian_sample(carry_, bytes.front()));
    bytes = bytes.subspan(1);
    has_carry_ = false;
  }
  size_t pairs = bytes.size() / 2;
  for (size_t i = 0; i < pairs; ++i) samples_.push_back(little_endian_sample(bytes[2 * i], bytes[2 * i + 1]));
  if (bytes.size() % 2 != 0) {
    carry_ = bytes.back();
    has_carry_ = true;
  }
  return samples_;
}

}  // namespace tavikrec
