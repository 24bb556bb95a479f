// The unbounded queue that carries encoded frames from the producers to the
// frame writer thread. Sending never blocks, so a producer holding its
// Framer lock is never held up by a slow reader of standard output.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace tavikrec {

using FrameMessage = std::vector<std::byte>;

struct FrameQueueState;

// The sending end; there is exactly one. Destroying it closes the queue: the
// receiver still gets every message already sent, then the end.
class FrameSender {
 public:
  explicit FrameSender(std::shared_ptr<FrameQueueState> state);
  FrameSender(FrameSender&&) noexcept = default;
  FrameSender& operator=(FrameSender&&) = delete;
  ~FrameSender();

  // Thread-safe; never blocks. Returns false, dropping the message, when the
  // receiving end is gone.
  bool send(FrameMessage message);

 private:
  std::shared_ptr<FrameQueueState> state_;  // null once moved from
};

// The receiving end, for one consumer thread. Destroying it frees whatever is
// still queued and makes every later send fail.
class FrameReceiver {
 public:
  explicit FrameReceiver(std::shared_ptr<FrameQueueState> state);
  FrameReceiver(FrameReceiver&&) noexcept = default;
  FrameReceiver& operator=(FrameReceiver&&) = delete;
  ~FrameReceiver();

  // Waits for the next message; nothing once the sender is gone and every
  // message has been taken.
  std::optional<FrameMessage> receive();

 private:
  std::shared_ptr<FrameQueueState> state_;  // null once moved from
};

std::pair<FrameSender, FrameReceiver> make_frame_queue();

}  // namespace tavikrec
