// tavikrec-inspect: checks a frame stream (a file or standard input) and
// prints what each channel holds; optionally writes each channel as a WAV
// file. For developers of parent programs and for our own tests: it reads
// streams of any length as they come, holding at most one frame.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_text.h"
#include "stream_check/frame_reader.h"
#include "stream_check/stream_summary.h"
#include "wav_file.h"

namespace tavikrec {
namespace {

constexpr std::string_view kUsage = "usage: tavikrec-inspect [--wav-prefix PREFIX] [FILE]";

struct Options {
  std::optional<std::string> wav_prefix;
  std::optional<std::string> file;  // standard input when absent
};

enum class Status { Ok = 0, Failed = 1, Usage = 2 };

Status complain(std::string_view message, Status status) {
  std::fprintf(stderr, "tavikrec-inspect: %.*s\n", static_cast<int>(message.size()), message.data());
  return status;
}

// Nothing means the arguments were unusable (already reported).
std::optional<Options> parse_arguments(int argc, char** argv) {
  Options options;
  bool input_named = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--wav-prefix" && i + 1 < argc && !options.wav_prefix) {
      options.wav_prefix = argv[++i];
    } else if ((arg == "-" || !arg.starts_with('-')) && !input_named) {
      input_named = true;
      if (arg != "-") options.file = std::string(arg);
    } else {
      complain(kUsage, Status::Usage);
      return std::nullopt;
    }
  }
  return options;
}

std::string level_text(double level, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f (%.2f dBFS)", decimals, level, 20.0 * std::log10(level / 32768.0));
  return text;
}

void print_summary(const StreamSummary& summary) {
  for (std::size_t tag = 0; tag < kChannelCount; ++tag) {
    const ChannelSummary& channel = summary.channels[tag];
    std::string name(display_name(static_cast<SourceKind>(tag)));
    if (channel.frames == 0) {
      std::printf("%s: no frames\n", name.c_str());
      continue;
    }
    std::printf("%s: %llu frames, %llu samples, span %.6f s, first time %.7f s, peak %s, rms %s\n", name.c_str(),
                static_cast<unsigned long long>(channel.frames), static_cast<unsigned long long>(channel.samples),
                channel.span_seconds(), *channel.first_time, level_text(channel.peak, 0).c_str(),
                level_text(channel.rms(), 1).c_str());
  }
}

// Writes each channel's samples to PREFIX-{mic,system}.wav, creating a file
// at the channel's first frame.
class WavOutputs {
 public:
  explicit WavOutputs(std::string prefix) : prefix_(std::move(prefix)) {}

  std::expected<void, ErrorText> add(const ReadFrame& frame) {
    std::optional<WavFile>& wav = files_[frame.tag];
    if (!wav) {
      auto created = WavFile::create(prefix_ + "-" + std::string(display_name(static_cast<SourceKind>(frame.tag))) +
                                     ".wav");
      if (!created) return std::unexpected(created.error());
      wav.emplace(std::move(*created));
    }
    return wav->append(frame.samples);
  }

  std::expected<void, ErrorText> finish() {
    for (std::optional<WavFile>& wav : files_) {
      if (!wav) continue;
      if (auto finished = wav->finish(); !finished) return finished;
      wav.reset();
    }
    return {};
  }

 private:
  std::string prefix_;
  std::array<std::optional<WavFile>, kChannelCount> files_;
};

Status inspect(const Options& options) {
  int fd = STDIN_FILENO;
  if (options.file) {
    fd = ::open(options.file->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return complain("could not open " + *options.file + " (" + std::strerror(errno) + ")", Status::Failed);
  }
  std::optional<WavOutputs> wavs;
  if (options.wav_prefix) wavs.emplace(*options.wav_prefix);
  StreamSummary summary;
  FrameStreamReader reader;
  std::optional<std::string> output_error;
  auto on_frame = [&](const ReadFrame& frame) {
    summary.channels[frame.tag].add(frame, false);
    if (wavs && !output_error) {
      if (auto added = wavs->add(frame); !added) output_error = added.error();
    }
  };
  std::vector<std::byte> buffer(1 << 16);
  std::expected<void, ErrorText> checked;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return complain(std::string("could not read the stream (") + std::strerror(errno) + ")", Status::Failed);
    if (n == 0) {
      checked = reader.finish();
      break;
    }
    checked = reader.feed(std::span(buffer).first(static_cast<std::size_t>(n)), on_frame);
    if (!checked || output_error) break;
  }
  if (output_error) return complain(*output_error, Status::Failed);
  // What was read before a fault is still worth listening to.
  if (wavs) {
    if (auto finished = wavs->finish(); !finished) return complain(finished.error(), Status::Failed);
  }
  if (!checked) return complain(checked.error(), Status::Failed);
  print_summary(summary);
  return Status::Ok;
}

}  // namespace
}  // namespace tavikrec

int main(int argc, char** argv) {
  using namespace tavikrec;
  if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
    std::printf("%.*s\n", static_cast<int>(kUsage.size()), kUsage.data());
    return 0;
  }
  std::optional<Options> options = parse_arguments(argc, argv);
  if (!options) return static_cast<int>(Status::Usage);
  return static_cast<int>(inspect(*options));
}
