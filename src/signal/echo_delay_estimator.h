// Where the echo lies behind its reference: the lag at which the changes of
// the microphone's envelope follow the reference's most closely over the
// last half second of both. An adaptive filter learns a short echo path far sooner
// and deeper than a long one (the echo rig's path 150 ms late, offline: 15 dB
// in the first 3 s and 38 dB in the next 3 with 1,024 taps placed on it,
// against 3 and 24 with 4,096 taps spanning every lag), so the canceller's
// reference is moved by what this finds. The envelopes are 1 ms means of the
// magnitude, and their changes from point to point are compared: speech's
// onsets and pitch pulses make that correlation peak sharply at the echo's
// lag (the envelopes themselves correlate almost as well 8 ms off it), at a
// sixteenth of the samples' cost. On the echo rig it finds the lag within
// 0.3 s of far-end speech. Pure; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavikrec {

class EchoDelayEstimator {
 public:
  // Samples per envelope point: 1 ms.
  static constexpr std::size_t kStep = 16;
  // Envelope points compared at each look: 0.5 s. REQUIRES: a multiple of 4.
  static constexpr std::size_t kWindow = 500;
  // Envelope points between two looks.
  static constexpr std::size_t kEvery = 125;

  // Searches lags [0, longest_lag) samples. REQUIRES: longest_lag >= kStep.
  // shift() puts the lag found `placement` samples into the canceller's
  // filter, and moves only for a lag more than `tolerance` samples from
  // where it puts the echo now.
  explicit EchoDelayEstimator(std::size_t longest_lag, std::size_t placement = 0, std::size_t tolerance = 0);

  // Takes the microphone's next samples and the reference read alongside
  // them; true when shift() moved, a new path for the canceller to learn.
  // REQUIRES: equal sizes, a multiple of kStep (else throws InternalError).
  bool take(std::span<const std::int16_t> rec, std::span<const std::int16_t> play);

  // The echo's lag behind the reference in samples, a multiple of kStep:
  // found alike, within 2 ms, by two looks in a row, each with a clear peak
  // while the far end spoke; once settled, replaced only when the looks of
  // a whole second find another lag, clearly above it. Nothing until the
  // first is found.
  std::optional<std::size_t> lag() const { return lag_; }

  // How many samples back the canceller reads its reference so that the
  // echo lies `placement` into its filter: 0 until a lag is found, then kept
  // while the lag found lies within `tolerance` of where it puts the echo.
  std::size_t shift() const { return shift_; }

  // Forgets what was heard and found.
  void reset();
  // The echo path may have changed (another device, another relation to
  // the clock): the lag found is kept, but the next that two looks in a row
  // agree on, once most of their window is audio from here on, replaces it
  // at once (waiting for a whole window lost a second more; looking at once
  // settled on the old lag now and then). What was heard before stays as
  // the reference's history.
  void unsettle();

 private:
  void look();

  std::size_t lags_;  // envelope points searched
  std::size_t placement_, tolerance_;
  std::size_t shift_ = 0;
  // The envelopes' changes, oldest first, one point per kStep samples of
  // each; trimmed to what a look needs.
  std::vector<float> mic_, ref_;
  float last_mic_ = 0, last_ref_ = 0;
  float far_level_ = 0;  // the reference's envelope, smoothed
  std::vector<float> centred_;       // the microphone's window, less its mean
  std::vector<double> correlation_;  // per lag, at the last look
  std::size_t since_look_ = 0;
  std::optional<std::size_t> candidate_;  // envelope points
  std::optional<std::size_t> lag_;        // samples
  bool settled_ = false;                  // the lag found takes a second of looks to replace
  std::size_t unheard_ = 0;               // points still to come before a look may settle
  std::size_t looks_elsewhere_ = 0;       // looks in a row that found another lag
};

}  // namespace tavikrec
