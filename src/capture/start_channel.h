// The start channel: capture threads each send one data-less start signal to
// the supervisor once their record stream runs. The supervisor also learns
// when every sender is gone, so a thread that ended without signalling is
// noticed at once instead of after the whole start time limit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "base/units.h"

namespace tavikrec {

namespace start_channel_detail {
struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t signals = 0;  // REQUIRES: mutex held
  std::size_t senders = 0;  // REQUIRES: mutex held
};
}  // namespace start_channel_detail

// One sender per capture thread. Dropping it (destruction or reset) counts
// the sender as gone.
class StartSender {
 public:
  StartSender() = default;
  explicit StartSender(std::shared_ptr<start_channel_detail::State> state);
  StartSender(const StartSender& other);
  StartSender(StartSender&& other) noexcept = default;
  StartSender& operator=(StartSender other) noexcept;
  ~StartSender();

  void send();
  void reset();

 private:
  std::shared_ptr<start_channel_detail::State> state_;
};

class StartReceiver {
 public:
  enum class Outcome { Signal, Timeout, Disconnected };

  explicit StartReceiver(std::shared_ptr<start_channel_detail::State> state);

  // Blocks until a signal is available (and takes it), `limit` passes, or no
  // sender remains with no signal left to take.
  Outcome wait(Ticks limit);

 private:
  std::shared_ptr<start_channel_detail::State> state_;
};

struct StartChannel {
  StartSender sender;
  StartReceiver receiver;
};

StartChannel make_start_channel();

}  // namespace tavikrec
