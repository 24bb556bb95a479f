// When to try opening a new stream after the server killed one: at once,
// then, while attempts fail, after a pause that doubles up to a limit, for
// as long as it takes (a USB device that comes back under its old name
// after a resume is picked up whenever it does).
#pragma once

#include <algorithm>
#include <optional>

#include "base/units.h"

namespace tavikrec {

class ReopenPacing {
 public:
  static constexpr Ticks kFirstPause = 250 * kTicksPerMillisecond;
  static constexpr Ticks kLongestPause = 4 * kTicksPerSecond;

  void stream_lost(Ticks now) {
    pause_ = kFirstPause;
    due_ = now;
  }
  // An attempt was refused, or its stream failed before it ran.
  void attempt_failed(Ticks now) {
    due_ = now + pause_;
    pause_ = std::min(pause_ * 2, kLongestPause);
  }
  void stream_running() { due_.reset(); }
  // The server names a new default: worth an attempt at once. The pause
  // stays, for a default that fails as well.
  void default_changed(Ticks now) {
    if (due_) due_ = now;
  }

  // When the next attempt falls due; nothing while none is wanted.
  std::optional<Ticks> due() const { return due_; }
  bool due_by(Ticks now) const { return due_ && now >= *due_; }

 private:
  Ticks pause_ = kFirstPause;
  std::optional<Ticks> due_;
};

}  // namespace tavikrec
