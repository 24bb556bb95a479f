#include "frame/frame_encoder.h"

#include <bit>

#include "frame/frame_format.h"

namespace tavikrec {
namespace {

template <class Unsigned>
std::byte* put_little_endian(std::byte* out, Unsigned value) {
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
    *out++ = static_cast<std::byte>((value >> (8 * i)) & 0xff);
  }
  return out;
}

}  // namespace

double frame_time_seconds(Ticks stamp, Ticks epoch) {
  Ticks since_epoch = stamp - epoch;
  if (since_epoch <= 0) return 0.0;
  return static_cast<double>(since_epoch) / static_cast<double>(kTicksPerSecond);
}

std::vector<std::byte> encode_frame(std::uint8_t tag, Ticks stamp, Ticks epoch, std::span<const std::int16_t> samples) {
  std::vector<std::byte> frame(frame_bytes(samples.size()));
  std::byte* out = frame.data();
  *out++ = static_cast<std::byte>(tag);
  out = put_little_endian(out, std::bit_cast<std::uint64_t>(frame_time_seconds(stamp, epoch)));
  out = put_little_endian(out, static_cast<std::uint32_t>(samples.size()));
  for (std::int16_t sample : samples) out = put_little_endian(out, static_cast<std::uint16_t>(sample));
  return frame;
}

}  // namespace tavikrec
