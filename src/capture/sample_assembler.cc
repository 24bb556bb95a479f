#include "capture/sample_assembler.h"

#include <bit>
#include <cstring>

#include "base/little_endian.h"
#include "base/units.h"

namespace tavikrec {
namespace {

std::int16_t sample_at(const std::uint8_t* bytes) {
  return static_cast<std::int16_t>(load_little_endian<std::uint16_t>(bytes));
}

}  // namespace

std::span<const std::int16_t> SampleAssembler::assemble(std::span<const std::uint8_t> bytes) {
  const bool carried = has_carry_ && !bytes.empty();
  const size_t whole = (bytes.size() - (carried ? 1 : 0)) / kBytesPerSample;
  samples_.resize((carried ? 1 : 0) + whole);
  std::int16_t* out = samples_.data();
  if (carried) {
    const std::uint8_t split[kBytesPerSample] = {carry_, bytes.front()};
    *out++ = sample_at(split);
    bytes = bytes.subspan(1);
    has_carry_ = false;
  }
  // The whole run at once: on a little-endian machine the bytes already are
  // the samples.
  if constexpr (std::endian::native == std::endian::little) {
    if (whole > 0) std::memcpy(out, bytes.data(), kBytesPerSample * whole);
  } else {
    for (size_t i = 0; i < whole; ++i) out[i] = sample_at(&bytes[kBytesPerSample * i]);
  }
  if (bytes.size() % kBytesPerSample != 0) {
    carry_ = bytes.back();
    has_carry_ = true;
  }
  return samples_;
}

}  // namespace tavikrec
