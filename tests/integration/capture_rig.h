// A capture rig for black-box tests: a private sound server whose default
// output plays one tone and whose default microphone hears another, the
// built binary running against it, and the frame stream it wrote, checked
// by the stream reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/playback.h"
#include "support/sound_server.h"
#include "support/test_signal.h"

namespace tavikrec::testing {

// Tones the rig plays: the output's and each microphone's differ, so a test
// can tell from the audio which device a channel recorded.
inline constexpr double kOutputTone = 1000.0;
inline constexpr double kMicTone = 440.0;
inline constexpr double kOtherMicTone = 250.0;

struct FrameInfo {
  std::uint8_t tag;
  double time;
  std::uint32_t samples;
};

struct CapturedStream {
  std::vector<FrameInfo> frames;
  std::vector<std::int16_t> audio[2];  // by tag
  std::string error;                   // empty when the stream is sound
};

// Parses and checks a frame stream; `error` tells what is wrong, if anything.
CapturedStream read_stream(const std::string& bytes);

class CaptureRig {
 public:
  // Sinks "speakers" (default output, plays kOutputTone) and "tone" (plays
  // kMicTone), a microphone "mic" ("Desk Microphone") remapped from the
  // tone sink's monitor as the default source; with `second_mic`, also
  // "tone2" playing kOtherMicTone and its remap "mic2" ("Headset Microphone").
  CaptureRig(ServerKind kind, bool second_mic = false);

  SoundServer& server() { return *server_; }
  // Stops the default output's tone at once; the microphones keep theirs.
  void silence_output() { playbacks_.front().reset(); }

  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args, ChildOptions options = {});

 private:
  std::unique_ptr<SoundServer> server_;
  std::vector<std::unique_ptr<Playback>> playbacks_;
};

}  // namespace tavikrec::testing
