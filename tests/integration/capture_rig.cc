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

CaptureRig::CaptureRig(ServerKind kind, bool second_mic) {
  ServerSetup setup;
  setup.sinks = {{"speakers", "Speakers"}, {"tone", "Tone"}};
  if (second_mic) setup.sinks.push_back({"tone2", "Tone 2"});
  setup.default_sink = "speakers";
  server_ = SoundServer::start(kind, setup);
  server_->add_remap_source("mic", "Desk Microphone", "tone.monitor");
  if (second_mic) server_->add_remap_source("mic2", "Headset Microphone", "tone2.monitor");
  server_->set_default_source("mic");
  auto one_second_of = [](double frequency) { return sine_wave(frequency, 8000, kTestSampleRate); };
  playbacks_.push_back(server_->play("speakers", one_second_of(kOutputTone), true));
  playbacks_.push_back(server_->play("tone", one_second_of(kMicTone), true));
  if (second_mic) playbacks_.push_back(server_->play("tone2", one_second_of(kOtherMicTone), true));
}

std::unique_ptr<ChildProcess> CaptureRig::start(const std::vector<std::string>& args, ChildOptions options) {
  for (const auto& [name, value] : server_->client_environment()) options.environment[name] = value;
  return std::make_unique<ChildProcess>(TAVIKREC_BINARY, args, options);
}

}  // namespace tavikrec::testing
