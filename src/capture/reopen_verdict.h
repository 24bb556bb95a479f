// What to make of a stream opened to replace one the server killed, at each
// cycle until it is settled: attach it once it runs and has answered with its
// clock, give it up when it fails or is not there within the ready limit
// (a stalled server may run a stream and never answer), and otherwise say
// when to look again, which is always later than now: the capture loop
// sleeps until then and must never be handed a deadline already past.
#pragma once

#include "base/units.h"

namespace tavikrec {

// How long a stream may take to run and send its first timing reply.
inline constexpr Ticks kReadyLimit = 10 * kTicksPerSecond;

// Where a stream stands, as far as the decision goes.
enum class StreamPhase { Starting, Ready, Failed };

struct ReopenVerdict {
  enum class Action { Wait, Attach, GiveUp };
  Action action;
  Ticks look_again_at = 0;  // for Wait: the latest instant to decide again

  bool operator==(const ReopenVerdict&) const = default;
};

// `timing_replied`: the stream has had its first timing reply. `opened_at`:
// when it was opened.
constexpr ReopenVerdict judge_reopened_stream(StreamPhase phase, bool timing_replied, Ticks now, Ticks opened_at) {
  using enum ReopenVerdict::Action;
  if (phase == StreamPhase::Failed) return {GiveUp};
  if (phase == StreamPhase::Ready && timing_replied) return {Attach};
  if (now - opened_at > kReadyLimit) return {GiveUp};
  return {Wait, opened_at + kReadyLimit + 1};
}

}  // namespace tavikrec
