#include "capture/start_channel.h"

#include <chrono>
#include <utility>

namespace tavikrec {

StartSender::StartSender(std::shared_ptr<start_channel_detail::State> state) : state_(std::move(state)) {
  std::lock_guard lock(state_->mutex);
  ++state_->senders;
}

StartSender::StartSender(const StartSender& other) : state_(other.state_) {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  ++state_->senders;
}

StartSender& StartSender::operator=(StartSender other) noexcept {
  std::swap(state_, other.state_);
  return *this;
}

StartSender::~StartSender() { reset(); }

void StartSender::send() {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  ++state_->signals;
  state_->changed.notify_all();
}

void StartSender::reset() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    --state_->senders;
    state_->changed.notify_all();
  }
  state_.reset();
}

StartReceiver::StartReceiver(std::shared_ptr<start_channel_detail::State> state) : state_(std::move(state)) {}

StartReceiver::Outcome StartReceiver::wait(Ticks limit) {
  std::unique_lock lock(state_->mutex);
  bool ready = state_->changed.wait_for(lock, std::chrono::nanoseconds(limit * kNanosecondsPerTick),
                                        [&] { return state_->signals > 0 || state_->senders == 0; });
  if (state_->signals > 0) {
    --state_->signals;
    return Outcome::Signal;
  }
  return ready ? Outcome::Disconnected : Outcome::Timeout;
}

StartChannel make_start_channel() {
  auto state = std::make_shared<start_channel_detail::State>();
  return {StartSender(state), StartReceiver(state)};
}

}  // namespace tavikrec
