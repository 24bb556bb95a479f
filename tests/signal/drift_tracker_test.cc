#include "signal/drift_tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace tavikrec {
namespace {

// A source whose clock runs `ppm` off the system's, read in 40 ms fragments
// that arrive up to 3 ms late, and a channel whose timeline takes what the
// correction leaves of each fragment: the tracker's whole loop, on a
// simulated clock.
class DriftRig {
 public:
  explicit DriftRig(double ppm) : ppm_(ppm) {}

  // Runs until `until` (seconds since the start). `burst_at`: the source's
  // audio reaches us 50 ms late for five seconds from there (a starved
  // thread, a server handing over in bursts).
  void run_until(double until, std::optional<double> burst_at = std::nullopt) {
    constexpr double kFragment = 640;
    for (;;) {
      // The fragment's last sample was captured at `captured` (true time).
      const double first_captured = captured_;
      const double last_captured = captured_ + kFragment / (16'000.0 * (1 + ppm_ * 1e-6));
      if (last_captured > until) break;
      captured_ = last_captured;
      double arrives = captured_ + 0.003 * jitter() + creep_ * captured_;
      if (burst_at && captured_ > *burst_at && captured_ < *burst_at + 5) arrives += 0.05;
      const Ticks at = ticks(arrives);
      position_ += kFragment;
      tracker.observe_arrival(at, static_cast<Ticks>(position_) * kTicksPerSample);
      const std::optional<double> correction = tracker.correction_ppm(at);
      engaged_ever |= correction.has_value();
      const double error = first_captured + stamp_step_ - timeline_end_;
      tracker.observe_error(at, ticks(error));
      timeline_end_ += kFragment / (1 + correction.value_or(0) * 1e-6) / 16'000.0;
      if (captured_ > 60) worst_after_a_minute = std::max(worst_after_a_minute, std::abs(error));
      last_error = error;
    }
  }

  // The source's clock changes rate (it warmed up), from now on.
  void change_rate(double ppm) { ppm_ = ppm; }
  // From now on the audio reaches us later by `per_second` more each
  // second (an output's buffer slowly filling).
  void creep(double per_second) { creep_ = per_second; }
  // From now on the stamps lie `seconds` later (a bound expired, a burst).
  void step_stamps(double seconds) { stamp_step_ += seconds; }
  // The source stands still for `seconds` and goes on where it stopped, or,
  // negative, loses that much audio without a hole.
  void stand_still(double seconds) { captured_ += seconds; }

  DriftTracker tracker;
  bool engaged_ever = false;
  double worst_after_a_minute = 0;  // seconds
  double last_error = 0;

 private:
  static Ticks ticks(double seconds) { return std::llround(seconds * kTicksPerSecond); }
  // Deterministic, uniform in [0, 1).
  double jitter() {
    seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(seed_ >> 11) / 9007199254740992.0;
  }

  double ppm_;
  double captured_ = 0;
  double position_ = 0;  // samples delivered
  double timeline_end_ = 0;
  double stamp_step_ = 0;
  double creep_ = 0;
  std::uint64_t seed_ = 12345;
};

TEST(DriftTracker, FastAndSlowSourcesAreMeasuredAndTheirTimelinesKeptOnTime) {
  for (double ppm : {-500.0, -100.0, 100.0, 500.0, 900.0}) {
    SCOPED_TRACE(ppm);
    DriftRig rig(ppm);
    rig.run_until(DriftTracker::kShortestSpan / kTicksPerSecond - 0.5);
    EXPECT_FALSE(rig.engaged_ever) << "engaged on too little audio";
    rig.run_until(600);
    ASSERT_TRUE(rig.tracker.source_ppm());
    EXPECT_NEAR(*rig.tracker.source_ppm(), ppm, 1.0);
    EXPECT_LT(rig.worst_after_a_minute, 0.003);
    EXPECT_LT(std::abs(rig.last_error), 0.0005);
  }
}

TEST(DriftTracker, ASourceOnTheSystemClockIsNeverCorrected) {
  for (double ppm : {0.0, 2.0}) {
    DriftRig rig(ppm);
    rig.run_until(600);
    EXPECT_FALSE(rig.engaged_ever) << ppm;
  }
  // Its buffer filling by 8 ms over ten minutes looks like 13 ppm.
  DriftRig filling(0);
  filling.creep(13e-6);
  filling.run_until(600);
  EXPECT_FALSE(filling.engaged_ever);
}

TEST(DriftTracker, TheCorrectionGlidesAndFollowsARateChange) {
  DriftRig rig(800);
  rig.run_until(30);
  ASSERT_TRUE(rig.tracker.source_ppm());
  // From the engagement on the correction moves at most at the slew rate.
  DriftTracker& tracker = rig.tracker;
  double last = *tracker.correction_ppm(30 * kTicksPerSecond);
  for (Ticks at = 30 * kTicksPerSecond + kTicksPerMillisecond; at < 31 * kTicksPerSecond; at += kTicksPerMillisecond) {
    const double now = *tracker.correction_ppm(at);
    EXPECT_LE(std::abs(now - last), DriftTracker::kSlewPpmPerSecond / 1000 + 1e-9);
    last = now;
  }
  rig.change_rate(-300);
  rig.run_until(300);
  EXPECT_NEAR(*rig.tracker.source_ppm(), -300, 5.0);
  EXPECT_LT(std::abs(rig.last_error), 0.001);
}

TEST(DriftTracker, ABurstOrAStepIsNoDriftAndARestartForgetsTheRate) {
  DriftRig rig(300);
  rig.run_until(120, /*burst_at=*/70);
  ASSERT_TRUE(rig.tracker.source_ppm());
  EXPECT_NEAR(*rig.tracker.source_ppm(), 300, 1.0);
  EXPECT_LT(std::abs(rig.last_error), 0.001);

  // A step of the stamps is left where it is, for the timeline's own rules.
  rig.step_stamps(0.010);
  rig.run_until(180);
  EXPECT_NEAR(rig.last_error, 0.010, 0.001);
  EXPECT_NEAR(*rig.tracker.source_ppm(), 300, 1.0);

  rig.tracker.restart();
  EXPECT_FALSE(rig.tracker.source_ppm());
  EXPECT_FALSE(rig.tracker.correction_ppm(181 * kTicksPerSecond));
}

// A lasting jump of the arrivals is no rate: a fit through it would take
// 20 ms at one minute for 242 ppm slow, engage, and never let go.
TEST(DriftTracker, AStepOfTheArrivalsIsNoDriftAndAFalseCorrectionLetsGo) {
  for (double step : {0.005, 0.010, 0.020, 0.040, -0.010, -0.040}) {
    SCOPED_TRACE(step);
    DriftRig rig(0);
    rig.run_until(60);
    rig.stand_still(step);
    rig.run_until(600);
    EXPECT_FALSE(rig.engaged_ever);
  }
  // Engaged on a device that then keeps time: the correction lets go, and
  // its samples pass through untouched again.
  DriftRig rig(300);
  rig.run_until(120);
  ASSERT_TRUE(rig.tracker.source_ppm());
  rig.change_rate(0);
  rig.run_until(420);
  EXPECT_FALSE(rig.tracker.source_ppm());
  EXPECT_FALSE(rig.tracker.correction_ppm(420 * kTicksPerSecond));
  // ... and engages again when it drifts once more.
  rig.change_rate(-300);
  rig.run_until(600);
  ASSERT_TRUE(rig.tracker.source_ppm());
  EXPECT_NEAR(*rig.tracker.source_ppm(), -300, 5.0);
}

TEST(DriftTracker, ASourceBeyondWhatDriftExplainsIsLeftToTheTimelinesRules) {
  DriftRig rig(3000);
  rig.run_until(120);
  EXPECT_FALSE(rig.engaged_ever);
}

}  // namespace
}  // namespace tavikrec
