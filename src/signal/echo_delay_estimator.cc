#include "signal/echo_delay_estimator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "base/internal_error.h"

namespace tavikrec {
namespace {

// A look counts only while the far end speaks: its envelope's mean, kept
// over about a quarter second, at least this (about -50 dBFS)...
constexpr float kFarEndLevel = 100;
// ... and its changes at least this part of it: a steady tone's envelope
// does not change, and tells no lag.
constexpr double kFarEndChange = 0.05;
// A clear peak: the envelopes' changes correlate at least this much at it,
// and this much more than at any lag kApart points or more away from it.
constexpr double kLeast = 0.4;
constexpr double kMargin = 0.1;
constexpr std::size_t kApart = 8;
// Two looks agree within this many points.
constexpr std::size_t kAgree = 2;
// Looks in a row, a second of them, that must find another lag before it
// replaces the one found.
constexpr std::size_t kLooksToMove = 8;

float envelope(std::span<const std::int16_t> samples) {
  float sum = 0;
  for (std::int16_t s : samples) sum += static_cast<float>(std::abs(s));
  return sum / static_cast<float>(samples.size());
}

std::size_t distance(std::size_t a, std::size_t b) { return a > b ? a - b : b - a; }

}  // namespace

EchoDelayEstimator::EchoDelayEstimator(std::size_t longest_lag, std::size_t placement, std::size_t tolerance)
    : lags_(longest_lag / kStep), placement_(placement), tolerance_(tolerance) {
  if (lags_ == 0) throw InternalError("echo delay estimator with no lag to search");
  reset();
}

bool EchoDelayEstimator::take(std::span<const std::int16_t> rec, std::span<const std::int16_t> play) {
  if (rec.size() != play.size() || rec.size() % kStep != 0) {
    throw InternalError("echo delay estimator given " + std::to_string(rec.size()) + " and " +
                        std::to_string(play.size()) + " samples");
  }
  for (std::size_t at = 0; at < rec.size(); at += kStep) {
    const float mic = envelope(rec.subspan(at, kStep)), ref = envelope(play.subspan(at, kStep));
    mic_.push_back(mic - last_mic_);
    ref_.push_back(ref - last_ref_);
    last_mic_ = mic;
    last_ref_ = ref;
    far_level_ += (ref - far_level_) / 256;
    if (unheard_ > 0) --unheard_;
    if (++since_look_ >= kEvery) {
      since_look_ = 0;
      look();
    }
  }
  const std::size_t needed = kWindow + lags_;
  if (mic_.size() > 2 * needed) {
    mic_.erase(mic_.begin(), mic_.end() - static_cast<std::ptrdiff_t>(needed));
    ref_.erase(ref_.begin(), ref_.end() - static_cast<std::ptrdiff_t>(needed));
  }
  if (!lag_) return false;
  const std::size_t wanted = *lag_ > placement_ ? *lag_ - placement_ : 0;
  if (distance(wanted, shift_) <= tolerance_) return false;
  shift_ = wanted;
  return true;
}

void EchoDelayEstimator::look() {
  const std::size_t n = mic_.size();
  if (n < kWindow + lags_ || (!settled_ && unheard_ > 0)) return;
  const std::size_t first = n - kWindow;
  double mic_mean = 0, far_changes = 0;
  for (std::size_t t = first; t < n; ++t) {
    mic_mean += mic_[t];
    far_changes += static_cast<double>(ref_[t]) * ref_[t];
  }
  mic_mean /= kWindow;
  double mic_energy = 0;
  for (std::size_t t = first; t < n; ++t) mic_energy += (mic_[t] - mic_mean) * (mic_[t] - mic_mean);
  if (far_level_ < kFarEndLevel || std::sqrt(far_changes / kWindow) < kFarEndChange * far_level_ ||
      mic_energy <= 0) {
    candidate_.reset();
    return;
  }

  // The reference's sum and energy over the window at lag k, slid from lag
  // to lag rather than summed afresh: only the cross products cost a pass.
  centred_.resize(kWindow);
  for (std::size_t t = first; t < n; ++t) centred_[t - first] = static_cast<float>(mic_[t] - mic_mean);
  double sum = 0, squares = 0;
  for (std::size_t t = first; t < n; ++t) {
    sum += ref_[t];
    squares += static_cast<double>(ref_[t]) * ref_[t];
  }
  correlation_.assign(lags_, 0.0);
  for (std::size_t k = 0; k < lags_; ++k) {
    const float* ref = ref_.data() + first - k;
    float cross[4] = {0, 0, 0, 0};
    for (std::size_t t = 0; t < kWindow; t += 4) {
      for (std::size_t j = 0; j < 4; ++j) cross[j] += ref[t + j] * centred_[t + j];
    }
    const double energy = squares - sum * sum / kWindow;
    if (energy > 0) correlation_[k] = (cross[0] + cross[1] + cross[2] + cross[3]) / std::sqrt(energy * mic_energy);
    const double leaving = ref_[n - 1 - k], coming = ref_[first - 1 - k];
    sum += coming - leaving;
    squares += coming * coming - leaving * leaving;
  }
  const std::size_t best =
      static_cast<std::size_t>(std::max_element(correlation_.begin(), correlation_.end()) - correlation_.begin());
  double elsewhere = -1;
  for (std::size_t k = 0; k < lags_; ++k) {
    if (distance(k, best) >= kApart) elsewhere = std::max(elsewhere, correlation_[k]);
  }
  if (correlation_[best] < kLeast || correlation_[best] < elsewhere + kMargin) {
    candidate_.reset();
    return;
  }
  const bool again = candidate_ && distance(best, *candidate_) <= kAgree;
  candidate_ = best;
  if (!settled_ || distance(best, *lag_ / kStep) <= kAgree) {
    if (again) {
      lag_ = best * kStep;
      settled_ = true;
    }
    looks_elsewhere_ = 0;
    return;
  }
  // Another lag than the one found takes over only after a second of looks
  // that all find it clearly above the one found: a steady voice's pitch
  // pulses make the lag a pitch period off peak too, now and then, and
  // every move starts the canceller afresh.
  const bool clearly = correlation_[best] >= correlation_[*lag_ / kStep] + kMargin;
  looks_elsewhere_ = again && clearly ? looks_elsewhere_ + 1 : 0;
  if (looks_elsewhere_ >= kLooksToMove) {
    lag_ = best * kStep;
    looks_elsewhere_ = 0;
  }
}

void EchoDelayEstimator::reset() {
  // Before what it is given nothing was heard or played: a look needs only
  // a window of audio, not the longest lag's history too.
  mic_.assign(lags_, 0.0F);
  ref_.assign(lags_, 0.0F);
  last_mic_ = last_ref_ = far_level_ = 0;
  since_look_ = 0;
  candidate_.reset();
  lag_.reset();
  shift_ = 0;
  settled_ = false;
  looks_elsewhere_ = 0;
  unheard_ = 0;
}

void EchoDelayEstimator::unsettle() {
  settled_ = false;
  looks_elsewhere_ = 0;
  candidate_.reset();
  unheard_ = kWindow / 2;
}

}  // namespace tavikrec
