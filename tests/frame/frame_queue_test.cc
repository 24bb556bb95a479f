// The frame queue, the ChannelWriter on it and the FrameSink's lock.
#include "frame/frame_queue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "frame/channel_writer.h"
#include "frame/frame_sink.h"
#include "frame/framer.h"
#include "recorded_frames.h"

namespace tavikrec {
namespace {

FrameMessage message(std::initializer_list<int> values) {
  FrameMessage out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

TEST(FrameQueue, DeliversInOrderThenEndsOnceTheSenderIsGone) {
  auto [sender, receiver] = make_frame_queue();
  {
    FrameSender only_sender = std::move(sender);
    EXPECT_TRUE(only_sender.send(message({1})));
    EXPECT_TRUE(only_sender.send(message({2, 3})));
  }
  EXPECT_EQ(receiver.receive(), message({1}));
  EXPECT_EQ(receiver.receive(), message({2, 3}));
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(FrameQueue, ReceiveWaitsForAMessageFromAnotherThread) {
  auto [sender, receiver] = make_frame_queue();
  std::thread producer([s = std::move(sender)]() mutable { s.send(message({9})); });
  EXPECT_EQ(receiver.receive(), message({9}));
  producer.join();
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(ChannelWriter, EachFlushIsOneMessageAndAnEmptyFlushSendsNothing) {
  auto [sender, receiver] = make_frame_queue();
  {
    ChannelWriter writer(std::move(sender));
    EXPECT_TRUE(writer.flush());
    writer.write(message({1, 2}));
    writer.write(message({3}));
    EXPECT_TRUE(writer.flush());
    EXPECT_TRUE(writer.flush());
    writer.write(message({4}));  // never flushed: dropped with the writer
  }
  EXPECT_EQ(receiver.receive(), message({1, 2, 3}));
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(ChannelWriter, FailsOnceTheReceiverIsGone) {
  auto [sender, receiver] = make_frame_queue();
  ChannelWriter writer(std::move(sender));
  { FrameReceiver gone = std::move(receiver); }
  EXPECT_TRUE(writer.flush());
  writer.write(message({1}));
  EXPECT_EQ(writer.flush(), std::unexpected(std::string("frame writer stopped")));
  // The failed message is gone, not retried with the next one.
  EXPECT_TRUE(writer.flush());
}

// A writer that fails while the sink's lock is held, as an allocation would.
class ThrowingWriter final : public ByteWriter {
 public:
  void write(std::span<const std::byte>) override { throw std::runtime_error("out of memory"); }
  std::expected<void, std::string> flush() override { return {}; }
};

TEST(FrameSink, AFailedHolderPoisonsTheSinkAndItsCallersFramer) {
  FrameSink sink(0, std::make_unique<ThrowingWriter>());
  SharedFramer mic = make_shared_framer(0, std::nullopt);
  SharedFramer system = make_shared_framer(1, 0);
  const std::vector<std::int16_t> full(3200, 1);
  std::thread capture([&] {
    try {
      auto framer = mic->lock();
      (void)framer->append_block({0, full}, sink);
    } catch (const std::runtime_error&) {
    }
  });
  capture.join();
  try {
    (void)mic->lock();
    ADD_FAILURE() << "framer lock taken after its holder failed";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "framer poisoned");
  }
  try {
    auto framer = system->lock();
    (void)framer->append_block({0, full}, sink);
    ADD_FAILURE() << "frame written after the sink's holder failed";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "frame sink poisoned");
  }
}

TEST(FrameSink, EachFrameIsOneMessageTimedFromTheEpoch) {
  Recording recording = std::make_shared<std::vector<FrameMessage>>();
  FrameSink sink(1'000'000, std::make_unique<RecordingWriter>(recording));
  const std::int16_t samples[] = {5, 6};
  ASSERT_TRUE(sink.write_frame(1, 3'000'000, samples));
  ASSERT_TRUE(sink.write_frame(0, 0, samples));
  auto frames = decode_messages(*recording);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].tag, 1);
  EXPECT_EQ(frames[0].time, 0.2);
  EXPECT_EQ(frames[1].time, 0.0);
  EXPECT_EQ(frames[1].samples, (std::vector<std::int16_t>{5, 6}));
}

}  // namespace
}  // namespace tavikrec
