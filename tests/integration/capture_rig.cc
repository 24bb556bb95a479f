#include "integration/capture_rig.h"

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

std::unique_ptr<ChildProcess> CaptureRig::start(const std::vector<std::string>& args, ChildOptions options) {
  for (const auto& [name, value] : server_->client_environment()) options.environment[name] = value;
  return std::make_unique<ChildProcess>(TAVIKREC_BINARY, args, options);
}

}  // namespace tavikrec::testing
