#include "capture/start_channel.h"

#include <gtest/gtest.h>

#include <thread>

namespace tavikrec {
namespace {

using namespace std::chrono_literals;
using Outcome = StartReceiver::Outcome;

constexpr Ticks kSoon = 5 * kTicksPerSecond;

TEST(StartChannel, CountsSignalsThenReportsDisconnection) {
  auto [sender, receiver] = make_start_channel();
  StartSender second = sender;
  sender.send();
  second.send();
  sender.reset();
  EXPECT_EQ(receiver.wait(kSoon), Outcome::Signal);
  EXPECT_EQ(receiver.wait(kSoon), Outcome::Signal);
  // One sender left, nothing sent: the deadline decides.
  EXPECT_EQ(receiver.wait(20 * kTicksPerMillisecond), Outcome::Timeout);
  second.reset();
  EXPECT_EQ(receiver.wait(kSoon), Outcome::Disconnected);
}

TEST(StartChannel, WakesWaiterWhenLastSenderEndsWithoutSignalling) {
  auto [sender, receiver] = make_start_channel();
  std::thread worker([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    s.reset();
  });
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.wait(30 * kTicksPerSecond), Outcome::Disconnected);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
  worker.join();
}

}  // namespace
}  // namespace tavikrec
