// Takes out of the microphone's audio the echo of what the output played: an
// adaptive filter learns the path from the output's audio (the reference) to
// the microphone and subtracts its estimate of the echo; then, by default,
// what the filter left of the echo is suppressed where it stands above the
// rest of the microphone's spectrum. Echo removal only: no noise
// suppression, no gain control, so the near end's own voice passes at its
// own level. Owns its speexdsp state; not thread-safe: one caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>

#include "base/error_text.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace tavikrec {

class EchoCanceller {
 public:
  // What run() takes at a time: 10 ms at 16 kHz.
  static constexpr std::size_t kFrameSamples = 160;

  // What becomes of the echo the filter leaves. Suppressed, it is taken
  // down 10-15 dB further once the filter has learnt the path (45-49 dB in
  // all, against 32 with the filter alone, bench/echo_compare), the near
  // end kept within 0.2 dB alone and 0.6 dB in double talk; it costs a
  // frame of latency and about 1 ms of CPU per second of audio.
  enum class Residual { kLeft, kSuppressed };

  // A canceller whose filter spans `filter_samples` samples of the reference:
  // the longest echo path it learns (the delay of the echo behind the
  // reference plus the room's reverberation). Fails for no samples, or when
  // speexdsp gives no state.
  static std::expected<EchoCanceller, ErrorText> create(std::size_t filter_samples,
                                                        Residual residual = Residual::kSuppressed);

  // The canceller's name, for diagnostic lines.
  std::string_view name() const;
  // How many samples the output lags the input: out[i] is rec[i - latency()]
  // less its echo (zeros before the first frame). The suppressor judges each
  // frame's residual over it and the frame after: one frame; else 0.
  std::size_t latency() const;

  // REQUIRES: n a multiple of kFrameSamples (else throws InternalError).
  // rec: the microphone; play: the reference, aligned so that the echo in
  // rec lags it; out: rec less the echo, n samples, aliasing neither input.
  void run(const std::int16_t* rec, const std::int16_t* play, std::int16_t* out, std::size_t n);

  // The last frame run, its echo filtered out but its residual not yet
  // suppressed: what a caller takes for that frame when it cannot wait for
  // the next run, which then returns the frame again, finished, to be
  // dropped. Zeros before the first run.
  std::span<const std::int16_t, kFrameSamples> unfinished() const { return filtered_; }

  // Forgets the echo path learnt: for a reference or a microphone that
  // changed device, whose path the old one says nothing about. The frame
  // last run still comes out of the next run.
  void reset();

 private:
  struct Destroy {
    void operator()(SpeexEchoState_* state) const;
    void operator()(SpeexPreprocessState_* state) const;
  };
  EchoCanceller(std::unique_ptr<SpeexEchoState_, Destroy> state,
                std::unique_ptr<SpeexPreprocessState_, Destroy> suppressor);

  std::unique_ptr<SpeexEchoState_, Destroy> state_;
  std::unique_ptr<SpeexPreprocessState_, Destroy> suppressor_;  // none: the residual is left
  std::array<std::int16_t, kFrameSamples> filtered_{};
};

}  // namespace tavikrec
