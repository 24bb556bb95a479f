// A record stream seen as a sample clock: the audio at stream position p
// (ticks of audio since the stream's first byte) was captured at the instant
// origin + p. The origin is never read directly; every observation bounds it
// from above, and the tightest bound of the last seconds is taken. A thread
// that reads late, or a timing reply that is processed late, only loosens a
// bound, so neither moves the stamps.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>

#include "base/units.h"
#include "frame/framer.h"
#include "signal/drift_tracker.h"

namespace tavikrec {

class StreamClock {
 public:
  // How long an observation counts. PipeWire's timing replies scatter by
  // about 25 ms: a window of 2 s let a run of loose ones through, 10 s did not.
  static constexpr Ticks kWindow = 10 * kTicksPerSecond;
  // How long the stream must have delivered since it (re)started before its
  // stamps count, so that the first stamp already rests on several bounds.
  static constexpr Ticks kSettleTime = 200 * kTicksPerMillisecond;
  // How long audio waits for a first bound. A monitor gets bounds only from
  // timing replies, and an idle output's monitor may say "not playing" in
  // every one: after this the arrivals are the best there is.
  static constexpr Ticks kLongestWait = kTicksPerSecond;
  // Audio that reaches us this much later than the relation says was not
  // delayed: its source produced nothing for a while (a stalled server, a
  // device that stopped) and its clock starts again where it resumed.
  static constexpr Ticks kLongestStandstill = kTicksPerSecond;
  // A shorter standstill shows as arrivals later than the window's earliest
  // by this much, for at least kStandstillProof: a thread that read late
  // catches up within one pass, and a server that hands over what it
  // captured meanwhile catches up in a burst, but a source that stood
  // still stays behind. Any shorter, and a standstill that outlasts the
  // silence filler's lag would have its audio stamped into the zeros padded
  // for it and dropped.
  static constexpr Ticks kShortestStandstill = kSilenceLag;
  static constexpr Ticks kStandstillProof = kFragmentDuration + 20 * kTicksPerMillisecond;

  // monitor: the stream records an output's monitor. Its audio is "captured"
  // when it is played, which may be after it reaches us, so arrivals bound
  // nothing there, unless the server counts no time between the two (see
  // observe_head).
  explicit StreamClock(bool monitor) : monitor_(monitor) {}

  // The source changed or was suspended or resumed at `now`: audio from
  // `position` on follows a new relation, audio before it keeps the old
  // one. The old relation gains no replies any more, only the arrivals of
  // its audio still in hand, so its audio is known when it would have been
  // without the reset (never earlier: a relation that had not settled is
  // not promoted). With nothing arrived since the last reset there is no
  // relation to keep, and the next one covers the audio between the two.
  void reset(Ticks position, Ticks now);

  // A timing reply: the source was capturing `position` at `at`. Replies
  // before the first arrival since the (re)start are ignored: until audio
  // flows, the server's capture head stands still while time goes on.
  // `plays_later`: the server reports a monitor's audio as played after it
  // was rendered (a sink latency). A monitor whose server never does so
  // (PipeWire) counts its audio as captured when rendered, before it reaches
  // us: from its first reply on, arrivals bound it too.
  void observe_head(Ticks at, Ticks position, bool plays_later = false);

  // The audio [first, end) was in hand at `at`. Audio later than
  // kLongestStandstill behind the relation starts a new one at `first`, and
  // so does audio that stays kShortestStandstill behind the earliest
  // arrivals for kStandstillProof (or is followed by none for that long, see
  // settle_standstill); until that is decided, the audio from its `first`
  // on waits.
  void observe_arrival(Ticks at, Ticks first, Ticks end);

  // Whether stamp(position) is sound at `now`: its relation has settled
  // (audio has flowed for kSettleTime since its reset, and there is a
  // bound), or audio has flowed for kLongestWait without one.
  bool knows(Ticks position, Ticks now) const;

  // A late arrival that nothing has followed for kStandstillProof by `now`
  // proves a standstill too (a source that stood still and stopped again).
  void settle_standstill(Ticks now);

  // The audio before `position` has gone out: the relations that only it
  // followed are forgotten.
  void forget_before(Ticks position);

  // Whether the relation changed (a reset, or a standstill) since the last
  // call: what was carried over from the audio before it (the drift
  // correction's look-ahead) belongs to the old one.
  bool take_relation_change();

  // When knows(position) turns true with no further observation; nothing
  // when it waits for audio first.
  std::optional<Ticks> known_at(Ticks position) const;

  // The capture instant of `position`, as well as the clock can tell: only
  // sound where knows() holds, a best guess otherwise (when stopping). Once
  // the drift tracker has measured the source's rate, a stream position
  // counts at that rate: the bounds then lie on one line, and the tightest
  // of the window is as good as the newest for a slow source too.
  Ticks stamp(Ticks position, Ticks now);

  // The source's rate against the system's clock, learnt from the arrivals
  // of the current relation; a reset starts it afresh.
  DriftTracker& drift() { return drift_; }

 private:
  struct Bound {
    Ticks at;        // when it was observed
    Ticks origin;    // the origin is at most this, counting positions at 16 kHz
    Ticks position;  // the position it was observed at
  };
  // A relation before the last reset, for the audio from `from` up to the
  // next one's.
  struct Relation {
    Ticks from;
    Ticks origin;
    double rate_share;
    Ticks known_at;
  };
  // Arrivals later than the window's earliest by kShortestStandstill, since
  // the audio [first, end) that was in hand at `at`.
  struct LateRun {
    Ticks at;
    Ticks first;
    Ticks end;
  };
  // The index in old_ of the relation `position` follows; nothing for the
  // current one.
  std::optional<std::size_t> old_relation(Ticks position) const;
  // Keeps `late_` up to date; true once the arrivals prove a standstill.
  bool stood_still(Ticks at, Ticks first, Ticks end);
  // A new relation from the first late arrival on, which it starts.
  void start_after_standstill();
  // An arrival of the current relation: a bound, the edge, the rate.
  void take_arrival(const Bound& arrival);
  void add_bound(const Bound& bound);
  // The bound's origin with positions counted at the source's rate.
  Ticks origin_at_rate(const Bound& bound) const;
  // Takes up the rate the drift tracker measured, if it changed.
  void follow_rate();
  void expire(Ticks now);
  // When fresh audio is known: kSettleTime after the first arrival with a
  // bound, kLongestWait after it without.
  std::optional<Ticks> settles_at() const;
  bool arrivals_bound() const;

  const bool monitor_;
  // Monitor: whether arrivals bound the origin; nothing before the first
  // reply, false for good after one with a sink latency.
  std::optional<bool> arrivals_bound_monitor_;
  // Increasing in both fields: a bound is dropped once a later one is at
  // least as tight, so the front is the tightest bound of the window.
  std::deque<Bound> bounds_;
  std::optional<Ticks> first_arrival_;  // since the last reset
  // The tightest arrival since the reset, also for a monitor: only a guess
  // for audio that must go out before the clock has settled.
  std::optional<Bound> arrival_bound_;
  // The earliest arrivals of the window, kept as bounds_ is, also for a
  // monitor: what a standstill is judged against.
  std::deque<Bound> arrival_edge_;
  std::optional<LateRun> late_;
  Ticks fresh_from_ = 0;  // positions before it follow old_
  std::deque<Relation> old_;  // oldest first
  bool relation_changed_ = false;
  // The share of a 16 kHz position that is the source running fast (0: on
  // the system's clock).
  double rate_share_ = 0;
  std::optional<double> rate_ppm_;  // what rate_share_ was made from
  DriftTracker drift_;
};

}  // namespace tavikrec
