// The frame stream's wire format: the constants that the encoder and the
// reader share, so that both sides agree on every byte.
//
// A stream is the plain concatenation of frames; there is no stream header,
// trailer or control record. One frame, packed, every field little-endian:
//
//   offset  size  field
//   0       1     channel tag: 0 microphone, 1 system output
//   1       8     IEEE 754 binary64: time of the first sample, in seconds
//                 since the capture epoch; never negative
//   9       4     u32 n: number of samples, 1 to 3200
//   13      2n    n signed 16-bit samples, oldest first
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/source_kind.h"
#include "base/units.h"

namespace tavikrec {

inline constexpr std::size_t kHeaderBytes = 13;
inline constexpr std::size_t kTimeFieldOffset = 1;
inline constexpr std::size_t kCountFieldOffset = 9;

inline constexpr Ticks kFullFrameDuration = 200 * kTicksPerMillisecond;
inline constexpr std::size_t kFullFrameSamples = kFullFrameDuration / kTicksPerSample;  // 3200
inline constexpr std::size_t kMaxFrameSamples = kFullFrameSamples;

inline constexpr std::uint8_t kMicTag = channel_tag(SourceKind::Mic);
inline constexpr std::uint8_t kSystemTag = channel_tag(SourceKind::System);
inline constexpr std::size_t kChannelCount = 2;  // tags are 0 .. kChannelCount - 1

constexpr std::size_t frame_bytes(std::size_t samples) { return kHeaderBytes + kBytesPerSample * samples; }

}  // namespace tavikrec
