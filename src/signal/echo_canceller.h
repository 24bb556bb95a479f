// Takes out of the microphone's audio the echo of what the output played: an
// adaptive filter learns the path from the output's audio (the reference) to
// the microphone and subtracts its estimate of the echo. Echo removal only:
// no noise suppression, no gain control, so the near end's own voice passes
// at its own level. Owns its speexdsp state; not thread-safe: one caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>

#include "base/error_text.h"

struct SpeexEchoState_;

namespace tavikrec {

class EchoCanceller {
 public:
  // What run() takes at a time: 10 ms at 16 kHz.
  static constexpr std::size_t kFrameSamples = 160;

  // A canceller whose filter spans `filter_samples` samples of the reference:
  // the longest echo path it learns (the delay of the echo behind the
  // reference plus the room's reverberation). Fails for no samples, or when
  // speexdsp gives no state.
  static std::expected<EchoCanceller, ErrorText> create(std::size_t filter_samples);

  // The canceller's name, for diagnostic lines.
  std::string_view name() const;
  // How many samples the output lags the input: 0, out[i] is rec[i] less its echo.
  std::size_t latency() const;

  // REQUIRES: n a multiple of kFrameSamples (else throws InternalError).
  // rec: the microphone; play: the reference, aligned so that the echo in
  // rec lags it; out: rec less the echo, n samples, aliasing neither input.
  void run(const std::int16_t* rec, const std::int16_t* play, std::int16_t* out, std::size_t n);

  // Forgets the echo path learnt: for a reference or a microphone that
  // changed device, whose path the old one says nothing about.
  void reset();

 private:
  struct Destroy {
    void operator()(SpeexEchoState_* state) const;
  };
  explicit EchoCanceller(std::unique_ptr<SpeexEchoState_, Destroy> state);

  std::unique_ptr<SpeexEchoState_, Destroy> state_;
};

}  // namespace tavikrec
