#include "capture/loop_schedule.h"

#include <algorithm>

namespace tavikrec {

Ticks LoopSchedule::next_wake(Ticks now, std::optional<Ticks> stall_deadline, std::optional<Ticks> release_at,
                              std::optional<Ticks> reopen_at) const {
  Ticks wake = std::min(now + kLongestSleep, last_timing_request_ + kTimingRequestInterval);
  for (std::optional<Ticks> deadline : {stall_deadline, release_at, reopen_at}) {
    if (deadline) wake = std::min(wake, *deadline);
  }
  if (quiet_checks_) {
    // Not while audio flows: only once a fragment is overdue.
    wake = std::min(wake, std::max(now + kQuietPeriod, last_audio_ + BlockStamper::kHandOutAllowance));
  }
  return wake;
}

}  // namespace tavikrec
