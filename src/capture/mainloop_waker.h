// Lets the supervisor wake a capture thread that sleeps in its main loop's
// poll, so that it sees the stop at once. pa_mainloop_wakeup may be called
// from any thread; the waker keeps it from reaching a main loop that is
// gone or not yet there.
#pragma once

#include <pulse/mainloop.h>

#include <mutex>

namespace tavikrec {

class MainloopWaker {
 public:
  // While an Attachment lives, wake() reaches its main loop. Destroy it
  // before the main loop is freed.
  class [[nodiscard]] Attachment {
   public:
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    ~Attachment() { waker_.attach(nullptr); }

   private:
    friend class MainloopWaker;
    explicit Attachment(MainloopWaker& waker) : waker_(waker) {}
    MainloopWaker& waker_;
  };

  // On the thread that owns `mainloop`. One attachment at a time.
  Attachment attach_to(pa_mainloop* mainloop);

  // Any thread: wakes the attached main loop, if there is one. A wake-up
  // before attach_to is not kept: the owner looks at its stop flag after
  // attaching (and after every pa_mainloop_prepare, which discards earlier
  // wake-ups).
  void wake();

 private:
  void attach(pa_mainloop* mainloop);

  std::mutex mutex_;
  pa_mainloop* mainloop_ = nullptr;  // REQUIRES: mutex_ held
};

}  // namespace tavikrec
