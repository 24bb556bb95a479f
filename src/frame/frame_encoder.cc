#include "frame/frame_encoder.h"

#include <bit>

#include "base/little_endian.h"
#include "frame/frame_format.h"

namespace tavikrec {

double frame_time_seconds(Ticks stamp, Ticks epoch) {
  Ticks since_epoch = stamp - epoch;
  if (since_epoch <= 0) return 0.0;
  return static_cast<double>(since_epoch) / static_cast<double>(kTicksPerSecond);
}

std::vector<std::byte> encode_frame(std::uint8_t tag, Ticks stamp, Ticks epoch, std::span<const std::int16_t> samples) {
  std::vector<std::byte> frame(frame_bytes(samples.size()));
  std::byte* out = frame.data();
  *out++ = static_cast<std::byte>(tag);
  out = store_little_endian(std::bit_cast<std::uint64_t>(frame_time_seconds(stamp, epoch)), out);
  out = store_little_endian(static_cast<std::uint32_t>(samples.size()), out);
  for (std::int16_t sample : samples) out = store_little_endian(static_cast<std::uint16_t>(sample), out);
  return frame;
}

}  // namespace tavikrec
