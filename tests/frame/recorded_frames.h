// Test helpers: a ByteWriter that keeps every flushed message, and decoding
// of recorded messages back into frames through the stream reader.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "frame/byte_writer.h"
#include "frame/frame_queue.h"
#include "stream_check/frame_reader.h"

namespace tavikrec {

struct DecodedFrame {
  std::uint8_t tag;
  double time;
  std::vector<std::int16_t> samples;
};

// Messages flushed through a RecordingWriter; shared so the test keeps them
// after the FrameSink that owns the writer is gone.
using Recording = std::shared_ptr<std::vector<FrameMessage>>;

class RecordingWriter final : public ByteWriter {
 public:
  explicit RecordingWriter(Recording recording) : recording_(std::move(recording)) {}
  void write(std::span<const std::byte> bytes) override { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }
  std::expected<void, std::string> flush() override {
    if (!pending_.empty()) recording_->push_back(std::exchange(pending_, {}));
    return {};
  }

 private:
  Recording recording_;
  FrameMessage pending_;
};

// Decodes the messages as one stream; each message must hold exactly one
// whole frame. Fails the test otherwise.
inline std::vector<DecodedFrame> decode_messages(const std::vector<FrameMessage>& messages) {
  FrameStreamReader reader;
  std::vector<DecodedFrame> frames;
  for (const FrameMessage& message : messages) {
    std::size_t before = frames.size();
    auto fed = reader.feed(message, [&](const ReadFrame& frame) {
      frames.push_back({frame.tag, frame.time, {frame.samples.begin(), frame.samples.end()}});
    });
    EXPECT_TRUE(fed) << fed.error();
    EXPECT_EQ(frames.size(), before + 1) << "a message that is not exactly one frame";
  }
  auto finished = reader.finish();
  EXPECT_TRUE(finished) << finished.error();
  return frames;
}

}  // namespace tavikrec
