#include "frame/frame_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace tavikrec {

struct FrameQueueState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<FrameMessage> messages;  // REQUIRES: mutex held (all fields)
  bool sender_alive = true;
  bool receiver_alive = true;
};

FrameSender::FrameSender(std::shared_ptr<FrameQueueState> state) : state_(std::move(state)) {}

FrameSender::~FrameSender() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_->arrived.notify_all();
}

bool FrameSender::send(FrameMessage message) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return false;
    state_->messages.push_back(std::move(message));
  }
  state_->arrived.notify_one();
  return true;
}

FrameReceiver::FrameReceiver(std::shared_ptr<FrameQueueState> state) : state_(std::move(state)) {}

FrameReceiver::~FrameReceiver() {
  if (!state_) return;
  std::deque<FrameMessage> dropped;
  std::lock_guard lock(state_->mutex);
  state_->receiver_alive = false;
  dropped.swap(state_->messages);
}

std::optional<FrameMessage> FrameReceiver::receive() {
  std::unique_lock lock(state_->mutex);
  state_->arrived.wait(lock, [&] { return !state_->messages.empty() || !state_->sender_alive; });
  if (state_->messages.empty()) return std::nullopt;
  FrameMessage message = std::move(state_->messages.front());
  state_->messages.pop_front();
  return message;
}

std::pair<FrameSender, FrameReceiver> make_frame_queue() {
  auto state = std::make_shared<FrameQueueState>();
  return {FrameSender(state), FrameReceiver(state)};
}

}  // namespace tavikrec
