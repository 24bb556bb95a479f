#include "signal/drift_tracker.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tavikrec {
namespace {

struct Line {
  double slope;
  double intercept;
  double slope_error;  // standard error of the slope
};

// Least squares over the points whose `keep` is set.
Line fit_line(const std::vector<double>& x, const std::vector<double>& y, const std::vector<bool>& keep) {
  double n = 0, sx = 0, sy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!keep[i]) continue;
    n += 1;
    sx += x[i];
    sy += y[i];
  }
  const double mx = sx / n, my = sy / n;
  double sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!keep[i]) continue;
    sxx += (x[i] - mx) * (x[i] - mx);
    sxy += (x[i] - mx) * (y[i] - my);
  }
  Line line{sxy / sxx, 0, 0};
  line.intercept = my - line.slope * mx;
  double squares = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!keep[i]) continue;
    const double r = y[i] - line.intercept - line.slope * x[i];
    squares += r * r;
  }
  line.slope_error = n > 2 ? std::sqrt(squares / (n - 2) / sxx) : 0;
  return line;
}

// The edge that carries the rate: bounds scatter upwards only (late, never
// early), so the lower half of the points about a first fit lies on it.
Line lower_edge(const std::vector<double>& x, const std::vector<double>& y) {
  std::vector<bool> keep(x.size(), true);
  const Line first = fit_line(x, y, keep);
  std::vector<double> residuals;
  for (std::size_t i = 0; i < x.size(); ++i) residuals.push_back(y[i] - first.intercept - first.slope * x[i]);
  std::vector<double> sorted = residuals;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  std::size_t kept = 0;
  for (std::size_t i = 0; i < x.size(); ++i) kept += (keep[i] = residuals[i] <= median) ? 1 : 0;
  return kept >= 3 ? fit_line(x, y, keep) : first;
}

}  // namespace

void DriftTracker::observe_arrival(Ticks at, Ticks end) {
  const Ticks origin = at - end;
  if (open_ && at < open_until_) {
    if (origin < open_->origin) open_ = Bucket{at, origin};
    return;
  }
  if (open_) close_bucket();
  open_ = Bucket{at, origin};
  open_until_ = at + kBucket;
}

void DriftTracker::restart() { *this = DriftTracker(); }

void DriftTracker::close_bucket() {
  buckets_.push_back(*open_);
  while (buckets_.back().at - buckets_.front().at > kSpan) buckets_.pop_front();
  const std::size_t off = off_edge_run();
  if (off == kStepRun) {
    // The seconds before the step no longer lie on the edge: the fit goes
    // on from the step, and an engaged correction keeps its rate until the
    // fit has enough of them to tell again.
    buckets_.erase(buckets_.begin(), buckets_.end() - kStepRun);
  }
  if (off > 0) {
    // A step may be under way: a fit through it would read it as a rate
    // (a lower edge follows a fall at once), so nothing is judged on it.
    agreeing_ = 0;
    return;
  }
  if (const std::optional<Fit> estimate = fit()) engage_or_release(*estimate);
}

void DriftTracker::engage_or_release(const Fit& estimate) {
  const double size = std::abs(estimate.ppm);
  if (source_ppm_) {
    if (size > kLargestPpm) {
      release();
      return;
    }
    agreeing_ = size < kReleasePpm ? agreeing_ + 1 : 0;
    if (agreeing_ >= kEngageAfter) {
      release();
    } else {
      source_ppm_ = estimate.ppm;
    }
    return;
  }
  const bool telling = size >= kSmallestPpm && size >= kScatterMargin * estimate.scatter_ppm && size <= kLargestPpm;
  agreeing_ = telling ? agreeing_ + 1 : 0;
  if (agreeing_ < kEngageAfter) return;
  agreeing_ = 0;
  source_ppm_ = estimate.ppm;
  correction_ = 0;
  corrected_at_.reset();
}

void DriftTracker::release() {
  source_ppm_.reset();
  smoothed_error_.reset();
  last_error_.reset();
  stepped_ = 0;
  agreeing_ = 0;
}

std::size_t DriftTracker::off_edge_run() const {
  const std::size_t before = buckets_.size() - std::min(buckets_.size(), kStepRun);
  if (before < 3) return 0;
  std::vector<double> x, y;
  points(x, y);
  const Line edge = lower_edge({x.begin(), x.begin() + static_cast<std::ptrdiff_t>(before)},
                               {y.begin(), y.begin() + static_cast<std::ptrdiff_t>(before)});
  const double size = static_cast<double>(kStepSize) / kTicksPerSecond;
  std::size_t above = 0, below = 0;
  for (std::size_t i = before; i < x.size(); ++i) {
    const double off = y[i] - edge.intercept - edge.slope * x[i];
    above = off > size ? above + 1 : 0;
    below = off < -size ? below + 1 : 0;
  }
  return std::max(above, below);
}

std::optional<DriftTracker::Fit> DriftTracker::fit() const {
  if (buckets_.size() < 3 || buckets_.back().at - buckets_.front().at < kShortestSpan) return std::nullopt;
  std::vector<double> x, y;
  points(x, y);
  const Line edge = lower_edge(x, y);
  // The origin falls by ppm microseconds per second of a fast source.
  return Fit{-edge.slope * 1e6, edge.slope_error * 1e6};
}

void DriftTracker::points(std::vector<double>& x, std::vector<double>& y) const {
  // Seconds from the first bucket: absolute ticks squared would lose the
  // precision a slope of a few ppm needs.
  for (const Bucket& bucket : buckets_) {
    x.push_back(static_cast<double>(bucket.at - buckets_.front().at) / kTicksPerSecond);
    y.push_back(static_cast<double>(bucket.origin - buckets_.front().origin) / kTicksPerSecond);
  }
}

std::optional<double> DriftTracker::source_ppm() const { return source_ppm_; }

void DriftTracker::observe_error(Ticks at, Ticks error) {
  if (!source_ppm_) return;
  if (last_error_ && std::abs(error - *last_error_) > kErrorStep) stepped_ += error - *last_error_;
  last_error_ = error;
  const auto steered = static_cast<double>(error - stepped_);
  if (!smoothed_error_) {
    smoothed_error_ = steered;
  } else {
    const double weight =
        std::clamp(static_cast<double>(at - error_at_) / static_cast<double>(kErrorSmoothing), 0.0, 1.0);
    *smoothed_error_ += weight * (steered - *smoothed_error_);
  }
  error_at_ = at;
}

std::optional<double> DriftTracker::correction_ppm(Ticks now) {
  if (!source_ppm_) return std::nullopt;
  double target = *source_ppm_;
  if (smoothed_error_) {
    // A timeline ahead of its stamps (a negative error) wants fewer samples:
    // more correction, as for a faster source.
    const double pull = -*smoothed_error_ / static_cast<double>(kPullTime) * 1e6;
    target += std::clamp(pull, -kLargestPullPpm, kLargestPullPpm);
  }
  const double step =
      corrected_at_ ? kSlewPpmPerSecond * static_cast<double>(now - *corrected_at_) / kTicksPerSecond : 0.0;
  correction_ += std::clamp(target - correction_, -step, step);
  corrected_at_ = now;
  return correction_;
}

}  // namespace tavikrec
