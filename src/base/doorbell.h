// A wake-up call from one thread to another that sleeps until there is
// something to do: a ring is kept until the sleeper takes it, so none is
// lost between its look at the work and its wait.
#pragma once

#include <condition_variable>
#include <mutex>

namespace tavikrec {

class Doorbell {
 public:
  // Any thread.
  void ring();
  // Returns once the bell has rung since the last wait() returned.
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable rung_signal_;
  bool rung_ = false;  // REQUIRES: mutex_ held
};

}  // namespace tavikrec
