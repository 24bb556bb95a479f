// The tavikrec-inspect tool, run as a program: summary, WAV output, and the
// exit statuses of broken streams and bad arguments.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "frame/frame_encoder.h"
#include "support/child_process.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ExitStatus;

struct Outcome {
  ExitStatus status;
  std::string out;
  std::string err;
};

Outcome inspect(const std::vector<std::string>& args, const std::string& input = "") {
  ChildProcess child(TAVIKREC_INSPECT, args);
  child.write_stdin(input);
  child.close_stdin();
  ExitStatus status = child.wait_or_kill(30s);
  return {status, child.stdout_bytes(), child.stderr_text()};
}

std::string as_text(const std::vector<std::byte>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// mic: 3200 samples of 1000 from 1.0 s, then 100 of -2000; system: 640 zeros.
std::string sample_stream() {
  return as_text(encode_frame(0, 10'000'000, 0, std::vector<std::int16_t>(3200, 1000))) +
         as_text(encode_frame(1, 0, 0, std::vector<std::int16_t>(640, 0))) +
         as_text(encode_frame(0, 12'000'000, 0, std::vector<std::int16_t>(100, -2000)));
}

std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("tavikrec-inspect-test-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(FrameInspect, SummarisesAndWritesOneWavPerChannel) {
  const std::string prefix = temp_path("wav");
  Outcome run = inspect({"--wav-prefix", prefix}, sample_stream());
  EXPECT_EQ(run.status, ExitStatus::Code(0)) << run.err;
  EXPECT_EQ(run.out,
            "mic: 2 frames, 3300 samples, span 0.206250 s, first time 1.0000000 s, peak 2000 (-24.29 dBFS), "
            "rms 1044.5 (-29.93 dBFS)\n"
            "system: 1 frames, 640 samples, span 0.040000 s, first time 0.0000000 s, peak 0 (-inf dBFS), "
            "rms 0.0 (-inf dBFS)\n");
  std::string mic = read_file(prefix + "-mic.wav");
  ASSERT_EQ(mic.size(), 44u + 6600u);
  EXPECT_EQ(mic.substr(0, 44), std::string("RIFF\xec\x19\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"
                                           "\x80\x3e\x00\x00\x00\x7d\x00\x00\x02\x00\x10\x00"
                                           "data\xc8\x19\x00\x00",
                                           44));
  EXPECT_EQ(mic.substr(44, 2), "\xe8\x03");            // 1000
  EXPECT_EQ(mic.substr(44 + 6400, 2), "\x30\xf8");     // -2000
  EXPECT_EQ(read_file(prefix + "-system.wav").size(), 44u + 1280u);
  std::filesystem::remove(prefix + "-mic.wav");
  std::filesystem::remove(prefix + "-system.wav");
}

TEST(FrameInspect, BrokenStreamsExitOneNamingTheByte) {
  const std::string stream = sample_stream();
  const std::string file = temp_path("truncated");
  std::ofstream(file, std::ios::binary) << stream.substr(0, stream.size() - 3);
  Outcome truncated = inspect({file});
  std::filesystem::remove(file);
  EXPECT_EQ(truncated.status, ExitStatus::Code(1));
  EXPECT_EQ(truncated.out, "");
  EXPECT_EQ(truncated.err, "tavikrec-inspect: byte 7706: the stream ends inside a frame, after 210 of its 213 bytes\n");

  std::string wrong_tag = stream;
  wrong_tag[6413] = '\x07';
  Outcome rejected = inspect({}, wrong_tag);
  EXPECT_EQ(rejected.status, ExitStatus::Code(1));
  EXPECT_EQ(rejected.err, "tavikrec-inspect: byte 6413: channel tag 7 is neither 0 (mic) nor 1 (system)\n");
}

TEST(FrameInspect, BadArgumentsExitTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--bogus"}, {"a", "b"}, {"--wav-prefix"}}) {
    Outcome run = inspect(args);
    EXPECT_EQ(run.status, ExitStatus::Code(2));
    EXPECT_EQ(run.err, "tavikrec-inspect: usage: tavikrec-inspect [--wav-prefix PREFIX] [FILE]\n");
  }
}

}  // namespace
}  // namespace tavikrec
