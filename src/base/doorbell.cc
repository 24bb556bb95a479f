#include "base/doorbell.h"

namespace tavikrec {

void Doorbell::ring() {
  {
    std::lock_guard lock(mutex_);
    rung_ = true;
  }
  rung_signal_.notify_one();
}

void Doorbell::wait() {
  std::unique_lock lock(mutex_);
  rung_signal_.wait(lock, [this] { return rung_; });
  rung_ = false;
}

}  // namespace tavikrec
