// The frame writer thread against real pipes: whole messages in order, and a
// reader that goes away.
#include "frame/frame_writer.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "frame/frame_format.h"
#include "frame/frame_sink.h"
#include "pipe_reader.h"

namespace tavikrec {
namespace {

// Waits until thread `tid` of this process is blocked in a write to `fd`.
void wait_until_blocked_writing(const std::atomic<pid_t>& tid, int fd) {
  const std::string blocked = std::to_string(SYS_write) + " 0x" + std::to_string(fd) + " ";
  for (;;) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
    std::string line;
    if (tid.load() != 0 && std::getline(syscall, line) && line.starts_with(blocked)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(FrameWriter, WritesEveryMessageWholeAndInOrderThenEnds) {
  Pipe pipe;
  DrainingReader reader(pipe.read_fd());
  auto [sender, receiver] = make_frame_queue();
  std::thread writer(run_frame_writer, std::move(receiver), pipe.write_fd());
  // Far more than a pipe holds, so writes come back partial.
  FrameMessage large(1 << 20);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::byte>(i % 251);
  FrameMessage expected;
  {
    FrameSender only_sender = std::move(sender);
    for (int i = 0; i < 3; ++i) {
      FrameMessage small(5, static_cast<std::byte>(i));
      expected.insert(expected.end(), small.begin(), small.end());
      expected.insert(expected.end(), large.begin(), large.end());
      ASSERT_TRUE(only_sender.send(small));
      ASSERT_TRUE(only_sender.send(large));
    }
  }
  writer.join();
  pipe.close_write();
  EXPECT_EQ(reader.take(), expected);
}

TEST(FrameWriter, ReaderGoneIsReportedOnceAndLaterFramesFail) {
  // As in the program: a closed pipe is a write error, not a fatal signal.
  std::signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  pipe.close_read();
  auto [sender, receiver] = make_frame_queue();
  FrameSink sink(0, std::move(sender));
  const std::vector<std::int16_t> samples(3200, 1);
  // Queued before the writer starts, so neither can meet the writer gone.
  EXPECT_TRUE(sink.write_frame(0, 0, samples));
  EXPECT_TRUE(sink.write_frame(1, 0, samples));
  CapturedStderr stderr_capture;
  std::thread writer(run_frame_writer, std::move(receiver), pipe.write_fd());
  writer.join();
  for (std::uint8_t tag : {kMicTag, kSystemTag, kMicTag}) {
    EXPECT_EQ(sink.write_frame(tag, 2'000'000, samples), std::unexpected(std::string("frame writer stopped")));
  }
  EXPECT_EQ(stderr_capture.text(), "tavikrec: the frame stream's reader is gone\n");
}

TEST(FrameWriter, ReaderGoneLineIsOutBeforeAnyFrameWriteFails) {
  // A producer whose frame write fails prints its FATAL line and ends the
  // process at once, so the writer's line must be out by then. Standard
  // error is held full: while the line waits, frames are still accepted.
  std::signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  pipe.close_read();
  auto [sender, receiver] = make_frame_queue();
  FrameSink sink(0, std::move(sender));
  const std::vector<std::int16_t> samples(10, 1);
  ASSERT_TRUE(sink.write_frame(0, 0, samples));
  CapturedStderr stderr_capture;
  std::size_t filler = stderr_capture.fill();
  std::atomic<pid_t> writer_tid = 0;
  std::thread writer([&, receiver = std::move(receiver)]() mutable {
    writer_tid = ::gettid();
    run_frame_writer(std::move(receiver), pipe.write_fd());
  });
  wait_until_blocked_writing(writer_tid, STDERR_FILENO);
  EXPECT_TRUE(sink.write_frame(1, 0, samples)) << "a frame write failed before the reader-gone line was out";
  std::string text = stderr_capture.text();
  writer.join();
  EXPECT_EQ(sink.write_frame(1, 0, samples), std::unexpected(std::string("frame writer stopped")));
  EXPECT_EQ(text.substr(filler), "tavikrec: the frame stream's reader is gone\n");
}

}  // namespace
}  // namespace tavikrec
