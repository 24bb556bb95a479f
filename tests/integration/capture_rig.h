// A capture rig for black-box tests: a private sound server whose default
// output plays one tone and whose default microphone hears another, the
// built binary running against it, and the frame stream it wrote, checked
// by the stream reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/playback.h"
#include "support/sound_server.h"
#include "support/test_signal.h"

namespace tavikrec::testing {

// Tones the rig plays: the outputs' and each microphone's differ, so a test
// can tell from the audio which device a channel recorded.
inline constexpr double kOutputTone = 1000.0;
inline constexpr double kHeadphonesTone = 700.0;
inline constexpr double kMicTone = 440.0;
inline constexpr double kOtherMicTone = 250.0;

// Devices beyond the default output and microphone.
struct RigDevices {
  bool second_mic = false;  // "mic2" ("Headset Microphone"), hears kOtherMicTone
  bool headphones = false;  // output "headphones" ("Headphones"), plays kHeadphonesTone
  // The microphone also hears the default output, as in a room: a loopback
  // plays "speakers.monitor" into "tone" at its full level, kEchoLatencyMs
  // asked for. On the timeline the echo lands 13 ms (PulseAudio) to 15-20 ms
  // (PipeWire) after the output played it.
  bool echo = false;
};

inline constexpr int kEchoLatencyMs = 20;

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

// A microphone whose clock is not the system's: it runs at 16,000 × (1 +
// ppm/10⁶) samples per second of the monotonic clock, counted from the
// start, so late wake-ups are made up, and hears a click every
// kClickSpacing samples of its own. It becomes the default source.
//
// On PulseAudio it is a pipe source whose FIFO is written at that pace. A
// PipeWire server reads a pipe at its graph's pace, not the writer's, so
// there it is a node that drives its graph at that pace (skewed_source).
class DriftingMicrophone {
 public:
  static constexpr int kClickSpacing = 4000;
  DriftingMicrophone(SoundServer& server, const std::string& name, double ppm);
  ~DriftingMicrophone();
  DriftingMicrophone(const DriftingMicrophone&) = delete;
  DriftingMicrophone& operator=(const DriftingMicrophone&) = delete;

 private:
  void start_pipe_source(const std::string& name, double ppm);
  void start_driver_node(const std::string& name, double ppm);
  void feed(std::stop_token stop, double ppm);

  SoundServer& server_;
  std::filesystem::path file_;  // the FIFO, or the driver node's loop
  std::optional<std::uint32_t> module_;
  int fd_ = -1;
  std::jthread feeder_;
  std::unique_ptr<ChildProcess> node_;
};

class CaptureRig {
 public:
  // Sinks "speakers" (default output, plays kOutputTone), with `devices`
  // "headphones", and "tone" (plays kMicTone), in this order: a server that
  // loses the default output picks "headphones" over "tone". A microphone
  // "mic" ("Desk Microphone") remapped from the tone sink's monitor is the
  // default source; with `devices.second_mic`, also "tone2" playing
  // kOtherMicTone and its remap "mic2" ("Headset Microphone"). With
  // `devices.echo`, the loopback "echo" from the output to "tone".
  CaptureRig(ServerKind kind, RigDevices devices = {});

  SoundServer& server() { return *server_; }
  // Stops the default output's tone at once; the microphones keep theirs.
  void silence_output() { playbacks_.erase("speakers"); }

  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args, ChildOptions options = {});

  // An output is plugged in and plays `tone`.
  void plug(const DeviceSpec& sink, double tone);
  // A microphone is plugged in that hears what `master` records.
  void plug_microphone(const DeviceSpec& source, const std::string& master) {
    devices_[source.name] = server_->add_remap_source(source.name, source.description, master);
  }
  // A device goes away; an output's sound stops first. Unplugging "tone"
  // takes "mic" with it on PulseAudio, whose remapped source ends with its
  // master.
  void unplug(const std::string& device);

 private:
  void play(const std::string& sink, double tone);

  std::unique_ptr<SoundServer> server_;
  std::map<std::string, std::uint32_t> devices_;  // by name, for unplug
  std::map<std::string, std::unique_ptr<Playback>> playbacks_;  // by sink
};

}  // namespace tavikrec::testing
