#include "signal/echo_canceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

#include "base/internal_error.h"
#include "base/units.h"

namespace tavikrec {

void EchoCanceller::Destroy::operator()(SpeexEchoState_* state) const { speex_echo_state_destroy(state); }
void EchoCanceller::Destroy::operator()(SpeexPreprocessState_* state) const { speex_preprocess_state_destroy(state); }

EchoCanceller::EchoCanceller(std::unique_ptr<SpeexEchoState_, Destroy> state,
                             std::unique_ptr<SpeexPreprocessState_, Destroy> suppressor)
    : state_(std::move(state)), suppressor_(std::move(suppressor)) {}

std::expected<EchoCanceller, ErrorText> EchoCanceller::create(std::size_t filter_samples, Residual residual) {
  if (filter_samples == 0 || filter_samples > INT_MAX) {
    return std::unexpected("no echo canceller with a filter of " + std::to_string(filter_samples) + " samples");
  }
  std::unique_ptr<SpeexEchoState_, Destroy> state(
      speex_echo_state_init(static_cast<int>(kFrameSamples), static_cast<int>(filter_samples)));
  if (!state) return std::unexpected(ErrorText("speexdsp gave no echo canceller state"));
  // speexdsp assumes 8 kHz until told otherwise; at 16 kHz its adaptation
  // then misjudges the bands and strips the near end's voice with the echo.
  int rate = kSampleRate;
  if (speex_echo_ctl(state.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate) != 0) {
    return std::unexpected(ErrorText("speexdsp refused the echo canceller's sample rate"));
  }
  std::unique_ptr<SpeexPreprocessState_, Destroy> suppressor;
  if (residual == Residual::kSuppressed) {
    suppressor.reset(speex_preprocess_state_init(static_cast<int>(kFrameSamples), kSampleRate));
    if (!suppressor) return std::unexpected(ErrorText("speexdsp gave no residual echo suppressor"));
    // speexdsp suppresses the residual echo only through its noise
    // suppressor's gains; with the noise's floor at 0 dB those gains leave
    // everything but the echo at its level. Gain control and dereverberation
    // stay off; so does voice detection, left at its default since setting
    // it prints a warning on standard error.
    int on = 1, off = 0, no_suppression_db = 0;
    speex_preprocess_ctl(suppressor.get(), SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(suppressor.get(), SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(suppressor.get(), SPEEX_PREPROCESS_SET_DEREVERB, &off);
    speex_preprocess_ctl(suppressor.get(), SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &no_suppression_db);
    speex_preprocess_ctl(suppressor.get(), SPEEX_PREPROCESS_SET_ECHO_STATE, state.get());
  }
  return EchoCanceller(std::move(state), std::move(suppressor));
}

std::string_view EchoCanceller::name() const { return "speexdsp"; }

std::size_t EchoCanceller::latency() const { return suppressor_ ? kFrameSamples : 0; }

void EchoCanceller::run(const std::int16_t* rec, const std::int16_t* play, std::int16_t* out, std::size_t n) {
  if (n % kFrameSamples != 0) {
    throw InternalError("echo canceller given " + std::to_string(n) + " samples, not whole frames");
  }
  for (std::size_t at = 0; at < n; at += kFrameSamples) {
    speex_echo_cancellation(state_.get(), rec + at, play + at, filtered_.data());
    std::copy(filtered_.begin(), filtered_.end(), out + at);
    if (suppressor_) speex_preprocess_run(suppressor_.get(), out + at);
  }
}

void EchoCanceller::reset() {
  speex_echo_state_reset(state_.get());
  // The rate is told again: captures whose canceller had been reset kept
  // their echo in 5 of 22 runs on PipeWire without this, in none of 16
  // with it. What of the rate the reset undoes is not established.
  int rate = kSampleRate;
  speex_echo_ctl(state_.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
}

}  // namespace tavikrec
