#include "capture/mainloop_waker.h"

namespace tavikrec {

MainloopWaker::Attachment MainloopWaker::attach_to(pa_mainloop* mainloop) {
  attach(mainloop);
  return Attachment(*this);
}

void MainloopWaker::wake() {
  std::lock_guard lock(mutex_);
  if (mainloop_) pa_mainloop_wakeup(mainloop_);
}

void MainloopWaker::attach(pa_mainloop* mainloop) {
  std::lock_guard lock(mutex_);
  mainloop_ = mainloop;
}

}  // namespace tavikrec
