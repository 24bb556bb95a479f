// The units the program counts in, each derived from one constant: time in
// ticks of 100 ns, and the audio format the record streams deliver and the
// frames carry (16 kHz mono s16le).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavikrec {

// Every stamp, deadline, interval and sleep is a count of ticks on the
// monotonic clock.
using Ticks = std::int64_t;

inline constexpr Ticks kTicksPerSecond = 10'000'000;
inline constexpr Ticks kTicksPerMillisecond = kTicksPerSecond / 1'000;
inline constexpr Ticks kTicksPerMicrosecond = kTicksPerSecond / 1'000'000;
inline constexpr std::int64_t kNanosecondsPerTick = 1'000'000'000 / kTicksPerSecond;

inline constexpr int kSampleRate = 16'000;
inline constexpr int kChannelsPerStream = 1;
inline constexpr std::size_t kBytesPerSample = 2;
inline constexpr Ticks kTicksPerSample = kTicksPerSecond / kSampleRate;  // 625
static_assert(kTicksPerSample * kSampleRate == kTicksPerSecond);

// What a record stream asks the server to hand over at once.
inline constexpr Ticks kFragmentDuration = 40 * kTicksPerMillisecond;
inline constexpr std::size_t kFragmentBytes = kFragmentDuration / kTicksPerSample * kBytesPerSample;  // 1280

}  // namespace tavikrec
