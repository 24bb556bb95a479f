// How far a source's clock runs from the system's, and the correction that
// keeps its channel's timeline on the stamps. A device's crystal is not the
// system's: one that delivers more (or fewer) samples per second than 16,000
// pushes its channel's timeline later (earlier) without bound, since the
// sample count is the timeline's authority. The rate comes from the audio's
// arrivals: each arrival bounds the stream's origin (the instant of stream
// position 0) from above, and over minutes the lower edge of those bounds
// slopes by the device's rate error. Late arrivals only loosen a bound, so a
// burst or a late thread does not move the estimate; a lasting jump of the
// edge (audio lost at an overrun, a short standstill) is a step, not a
// slope, and the fit starts again after it; a reset (another device, a
// suspend, a standstill) starts everything afresh. Pure: the caller passes
// the time in.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "base/units.h"

namespace tavikrec {

class DriftTracker {
 public:
  // The estimate rests on the lowest bound of each second.
  static constexpr Ticks kBucket = kTicksPerSecond;
  // It fits the last three minutes of them, so that a device whose rate
  // wanders (warming up) is followed.
  static constexpr Ticks kSpan = 180 * kTicksPerSecond;
  // Nothing is corrected before this much audio: a short capture passes
  // through untouched.
  static constexpr Ticks kShortestSpan = 10 * kTicksPerSecond;
  // A rate error the correction engages for: at least this, and several
  // times what the estimate can tell from its own scatter. A monitor's
  // arrivals carry the output's buffering too: an output on the system's
  // clock whose buffer slowly filled by a few milliseconds read as 13 ppm
  // over ten minutes on a loaded machine. Crystals are rarely closer than
  // 20 ppm to each other anyway.
  static constexpr double kSmallestPpm = 20.0;
  static constexpr double kScatterMargin = 5.0;
  // Estimates that must agree in a row before it engages, or, below
  // kReleasePpm, before an engaged correction lets go (a step taken for a
  // rate before it was seen as one, a device that warmed up to the
  // system's pace): its samples then pass through untouched again.
  static constexpr int kEngageAfter = 3;
  static constexpr double kReleasePpm = kSmallestPpm / 2;
  // The edge jumped when each of the last kStepRun seconds lies more than
  // kStepSize off the line through the seconds before them, on one side.
  // Drift moves the edge smoothly, and a burst of late audio lifts it for a
  // few seconds only; a run this long is a step, and what came before it no
  // longer lies on the edge.
  static constexpr std::size_t kStepRun = 8;
  static constexpr Ticks kStepSize = 3 * kTicksPerMillisecond;
  // Beyond this a source is not drifting but faulty: the timeline's own
  // rules for gaps and late stamps handle it.
  static constexpr double kLargestPpm = 1000.0;
  // The timeline error left is pulled in over about this long, at no more
  // than kLargestPullPpm on top of the rate (a pitch 0.1 % off, far below
  // what an ear tells apart).
  static constexpr Ticks kPullTime = 5 * kTicksPerSecond;
  static constexpr double kLargestPullPpm = 1000.0;
  // How fast the correction may change: a glide, never a step.
  static constexpr double kSlewPpmPerSecond = 500.0;
  // The timeline error is smoothed over about this long.
  static constexpr Ticks kErrorSmoothing = kTicksPerSecond;
  // A change of the error from one block to the next larger than this is a
  // step of the stamps (a bound of the stream clock's window expiring, a
  // burst), not drift, which moves it by microseconds a block: the pull
  // leaves it to the timeline's own rules.
  static constexpr Ticks kErrorStep = 2 * kTicksPerMillisecond;

  // Audio ending at stream position `end` (ticks of nominal audio) was in
  // hand at `at`.
  void observe_arrival(Ticks at, Ticks end);

  // The source changed or stood still at `at`: what was learnt no longer
  // holds, and any correction stops.
  void restart();

  // A block was placed on the channel's timeline at `at`, its stamp `error`
  // after the timeline's end (negative: the timeline runs ahead of it). The
  // first error after the correction engaged is pulled in whole: it is what
  // the drift left before.
  void observe_error(Ticks at, Ticks error);

  // The source's rate error while the correction is engaged: it delivers
  // (1 + ppm / 10^6) samples per 16,000th of a second.
  std::optional<double> source_ppm() const;

  // The correction to apply at `now`, in the same sense as source_ppm: the
  // rate plus a pull on the timeline's error, changed at most at
  // kSlewPpmPerSecond. Nothing while not engaged: pass the audio through.
  std::optional<double> correction_ppm(Ticks now);

 private:
  struct Bucket {
    Ticks at;      // of its lowest bound
    Ticks origin;  // the lowest bound
  };
  struct Fit {
    double ppm;
    double scatter_ppm;  // standard error
  };
  void close_bucket();
  std::optional<Fit> fit() const;
  // The buckets as seconds since the first one's instant and origin.
  void points(std::vector<double>& x, std::vector<double>& y) const;
  // How many of the newest buckets, up to kStepRun, lie on one side more
  // than kStepSize off the edge of the buckets before the last kStepRun.
  std::size_t off_edge_run() const;
  void engage_or_release(const Fit& estimate);
  void release();

  std::deque<Bucket> buckets_;
  std::optional<Bucket> open_;  // the second being observed
  Ticks open_until_ = 0;
  int agreeing_ = 0;
  std::optional<double> source_ppm_;
  std::optional<double> smoothed_error_;  // ticks, since engaged, steps left out
  std::optional<Ticks> last_error_;
  Ticks stepped_ = 0;  // the steps since engaged, added up
  Ticks error_at_ = 0;
  double correction_ = 0;
  std::optional<Ticks> corrected_at_;
};

}  // namespace tavikrec
