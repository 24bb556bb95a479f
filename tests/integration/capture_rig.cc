#include "integration/capture_rig.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <stdexcept>

#include "stream_check/frame_reader.h"

namespace tavikrec::testing {

CapturedStream read_stream(const std::string& bytes) {
  CapturedStream stream;
  FrameStreamReader reader;
  auto fed = reader.feed(std::as_bytes(std::span(bytes)), [&](const ReadFrame& frame) {
    stream.frames.push_back({frame.tag, frame.time, static_cast<std::uint32_t>(frame.samples.size())});
    auto& audio = stream.audio[frame.tag];
    audio.insert(audio.end(), frame.samples.begin(), frame.samples.end());
  });
  if (!fed) {
    stream.error = fed.error();
  } else if (auto finished = reader.finish(); !finished) {
    stream.error = finished.error();
  }
  return stream;
}

namespace {

// Both ends are null devices on the system's clock, so PulseAudio's loopback
// need not adapt its rate (adjust_time=0), which would move the echo about.
std::string echo_arguments(ServerKind kind) {
  std::string arguments = "source=speakers.monitor sink=tone latency_msec=" + std::to_string(kEchoLatencyMs);
  if (kind == ServerKind::PulseAudio) arguments += " adjust_time=0 source_dont_move=true sink_dont_move=true";
  return arguments;
}

}  // namespace

CaptureRig::CaptureRig(ServerKind kind, RigDevices devices) : server_(SoundServer::start(kind)) {
  std::vector<std::pair<DeviceSpec, double>> outputs{{{"speakers", "Speakers"}, kOutputTone}};
  if (devices.headphones) outputs.push_back({{"headphones", "Headphones"}, kHeadphonesTone});
  outputs.push_back({{"tone", "Tone"}, kMicTone});
  if (devices.second_mic) outputs.push_back({{"tone2", "Tone 2"}, kOtherMicTone});
  for (const auto& [sink, tone] : outputs) devices_[sink.name] = server_->add_sink(sink);
  server_->set_default_sink("speakers");
  devices_["mic"] = server_->add_remap_source("mic", "Desk Microphone", "tone.monitor");
  if (devices.second_mic) devices_["mic2"] = server_->add_remap_source("mic2", "Headset Microphone", "tone2.monitor");
  server_->set_default_source("mic");
  if (devices.echo) devices_["echo"] = server_->load_module("module-loopback", echo_arguments(kind));
  // Played only once the defaults are set: a server may move what plays on
  // the old default output to the new one.
  for (const auto& [sink, tone] : outputs) play(sink.name, tone);
}

void CaptureRig::plug(const DeviceSpec& sink, double tone) {
  devices_[sink.name] = server_->add_sink(sink);
  play(sink.name, tone);
}

void CaptureRig::play(const std::string& sink, double tone) {
  playbacks_[sink] = server_->play(sink, sine_wave(tone, 8000, kTestSampleRate), true);
}

void CaptureRig::unplug(const std::string& device) {
  playbacks_.erase(device);
  server_->unload_module(devices_.at(device));
  devices_.erase(device);
}

namespace {

// One click spacing of the microphone's signal: a click, then silence.
std::vector<std::int16_t> click_period() {
  std::vector<std::int16_t> period(DriftingMicrophone::kClickSpacing, 0);
  for (std::size_t i = 0; i < 16; ++i) period[i] = i % 2 ? -20000 : 20000;
  return period;
}

}  // namespace

DriftingMicrophone::DriftingMicrophone(SoundServer& server, const std::string& name, double ppm)
    : server_(server),
      file_(std::filesystem::temp_directory_path() / ("tavikrec-" + name + "-" + std::to_string(getpid()))) {
  std::filesystem::remove(file_);
  if (server_.kind() == ServerKind::PulseAudio) {
    start_pipe_source(name, ppm);
  } else {
    start_driver_node(name, ppm);
  }
  server_.set_default_source(name);
}

void DriftingMicrophone::start_pipe_source(const std::string& name, double ppm) {
  module_ = server_.load_module("module-pipe-source", "source_name=" + name + " file=" + file_.string() +
                                                          " format=s16le rate=16000 channels=1"
                                                          " source_properties=device.description=" + name);
  // The server holds the FIFO open for reading, so this open does not wait.
  fd_ = open(file_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    server_.unload_module(*module_);
    throw std::runtime_error("cannot open " + file_.string());
  }
  feeder_ = std::jthread([this, ppm](std::stop_token stop) { feed(stop, ppm); });
}

void DriftingMicrophone::start_driver_node(const std::string& name, double ppm) {
  const std::vector<std::int16_t> period = click_period();
  std::ofstream(file_, std::ios::binary)
      .write(reinterpret_cast<const char*>(period.data()), static_cast<std::streamsize>(period.size() * 2));
  ChildOptions options;
  options.environment = server_.tool_environment();
  node_ = std::make_unique<ChildProcess>(TAVIKREC_SKEWED_SOURCE,
                                         std::vector<std::string>{name, std::to_string(ppm), file_.string()}, options);
  if (!node_->wait_for_stdout(std::string_view("ready\n").size(), std::chrono::seconds(10)) ||
      !wait_until([&] { return server_.source_descriptions().contains(name); }, std::chrono::seconds(10))) {
    throw std::runtime_error("skewed_source did not come up: " + node_->stderr_text());
  }
}

DriftingMicrophone::~DriftingMicrophone() {
  if (node_) {
    node_->send_signal(SIGTERM);
    node_->wait_or_kill(std::chrono::seconds(5));
  } else {
    feeder_.request_stop();
    feeder_.join();
    close(fd_);
    server_.unload_module(*module_);
  }
  std::filesystem::remove(file_);
}

void DriftingMicrophone::feed(std::stop_token stop, double ppm) {
  const std::vector<std::int16_t> period = click_period();
  const auto start = std::chrono::steady_clock::now();
  const double rate = 16000.0 * (1 + ppm * 1e-6);
  std::int64_t written = 0;  // bytes
  for (auto deadline = start; !stop.stop_requested();) {
    deadline += std::chrono::milliseconds(5);
    std::this_thread::sleep_until(deadline);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto due = static_cast<std::int64_t>(elapsed * rate) * 2;
    while (written < due) {
      const auto offset = static_cast<std::size_t>(written % (kClickSpacing * 2));
      const auto* bytes = reinterpret_cast<const char*>(period.data()) + offset;
      const auto count = std::min<std::int64_t>(due - written, kClickSpacing * 2 - static_cast<std::int64_t>(offset));
      const ssize_t moved = write(fd_, bytes, static_cast<std::size_t>(count));
      if (moved <= 0) break;  // full: it stays due
      written += moved;
    }
  }
}

std::unique_ptr<ChildProcess> CaptureRig::start(const std::vector<std::string>& args, ChildOptions options) {
  for (const auto& [name, value] : server_->client_environment()) options.environment[name] = value;
  return std::make_unique<ChildProcess>(TAVIKREC_BINARY, args, options);
}

}  // namespace tavikrec::testing
