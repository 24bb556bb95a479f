// A private sound server for one test: PulseAudio, or PipeWire (the
// system's 0.3, or 1.4 from its own prefix) with WirePlumber and its pulse
// server behind a private session bus, each in its own temporary directory
// tree, with null devices the test asks for. Clients
// (the tavikrec binary, pactl, pacat...) reach it through
// client_environment(). The destructor kills exactly the processes it
// started, by pid, and removes the tree, also when the test fails.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/playback.h"
#include "support/server_files.h"

namespace tavikrec::testing {

// `name` is the device's server name. PulseAudio accepts only
// [A-Za-z0-9_.-] in names (it would replace anything else); PipeWire takes
// any text. `description` may hold any text without line feeds.
struct DeviceSpec {
  std::string name;
  std::string description;
};

// Devices created when the server starts, in this order. With no sinks and
// no sources at all, PulseAudio has no default sink and no default source;
// with sources but no sinks, no default sink. PulseAudio otherwise always
// falls back to some device (a monitor when there is nothing else), and
// PipeWire's pulse server always reports some default name.
struct ServerSetup {
  std::vector<DeviceSpec> sinks{};    // null sinks (outputs)
  std::vector<DeviceSpec> sources{};  // null sources (microphones)
  std::optional<std::string> default_sink{};
  std::optional<std::string> default_source{};
};

// How a client program run against the server ended.
struct ClientResult {
  ExitStatus status;
  std::string out;
  std::string err;
};

class SoundServer {
 public:
  // Starts the server, waits until it answers as the version `kind` stands
  // for and creates `setup`. Throws std::runtime_error with the servers' log
  // tails when any step fails, and when PipeWire 1.4 is not installed.
  static std::unique_ptr<SoundServer> start(ServerKind kind, const ServerSetup& setup = {});
  ~SoundServer();
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  ServerKind kind() const { return kind_; }

  // Variables for ChildOptions::environment: PULSE_SERVER on the private
  // socket, PULSE_CLIENTCONFIG with autospawn off, the private HOME, XDG
  // directories and buses; DISPLAY and variables that would redirect a
  // client elsewhere removed.
  std::map<std::string, std::optional<std::string>> client_environment() const;

  // Client environment plus, for PipeWire 1.4, what runs its programs from
  // their prefix: for a client that talks to PipeWire itself.
  std::map<std::string, std::optional<std::string>> tool_environment() const;

  // Runs `program` (looked up in PATH, PipeWire 1.4's programs first) with
  // the client environment; kills it when `timeout` passes (the status then
  // shows SIGKILL).
  ClientResult run_client(const std::string& program, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Runs pactl; returns its stdout, throws when it fails.
  std::string pactl(const std::vector<std::string>& args) const;

  // pactl load-module / unload-module. unload_module also removes devices
  // that add_source/add_sink made as PipeWire nodes.
  std::uint32_t load_module(const std::string& name, const std::string& args);
  void unload_module(std::uint32_t index);

  // Create a device and wait until the server lists it with exactly the
  // given description; return an index for unload_module. On PulseAudio a
  // null source and a null sink with norewinds=1 (without it a new monitor
  // stream on an idle null sink can wait seconds for data); on PipeWire a
  // null-audio-sink node of class Audio/Source/Virtual or Audio/Sink.
  std::uint32_t add_source(const DeviceSpec& device);
  std::uint32_t add_sink(const DeviceSpec& device);
  // A source that records `master` (for example "tone.monitor"): a steady
  // microphone signal is a sine played into a second sink whose monitor is
  // remapped. On PipeWire the description must be free of quotation marks,
  // apostrophes and backslashes (its module argument parser mangles them).
  std::uint32_t add_remap_source(const std::string& name, const std::string& description, const std::string& master);

  // Set a default and wait until the server reports it. On PipeWire a name
  // holding a quotation mark cannot be set this way.
  void set_default_source(const std::string& name);
  void set_default_sink(const std::string& name);
  // pactl suspend-source. On PipeWire this does not stop a source in use;
  // pause() the server for that.
  void suspend_source(const std::string& name, bool suspend);

  // Server name -> description, as `pactl list` reports them.
  std::map<std::string, std::string> source_descriptions() const;
  std::map<std::string, std::string> sink_descriptions() const;

  // Plays s16le mono 16 kHz `samples` into `sink`; destroying the handle
  // stops the sound at once.
  std::unique_ptr<Playback> play(const std::string& sink, std::vector<std::int16_t> samples, bool loop);
  // Records about `duration` of s16le mono 16 kHz from `source` with parec.
  std::vector<std::int16_t> record(const std::string& source, std::chrono::milliseconds duration) const;

  // SIGSTOP / SIGCONT every server process (not the session bus): clients
  // then wait for answers that do not come.
  void pause();
  void resume();
  // SIGKILLs and reaps every process of the server now.
  void kill();

  // Pids of the processes the fixture started, to check they are gone.
  std::vector<pid_t> pids() const;
  // The last lines each server process wrote, for failure messages.
  std::string log_tail() const;

 private:
  struct ServerProcess {
    std::string name;
    std::unique_ptr<ChildProcess> child;
    bool is_bus = false;
  };
  struct Node {
    std::string name;
    bool is_sink;
  };

  SoundServer(ServerKind kind, ServerFiles files);
  void launch(const std::string& program, const std::vector<std::string>& args, bool is_bus = false);
  void start_pulseaudio();
  void start_pipewire();
  void check_server_name();
  void apply(const ServerSetup& setup);
  // Polls `ready` until it holds; throws with the log tail when a server
  // process ends or `what` has not happened within the deadline.
  void wait_until(const std::string& what, const std::function<bool()>& ready);
  std::uint32_t add_device(const DeviceSpec& device, bool is_sink);
  std::uint32_t add_pipewire_node(const DeviceSpec& device, bool is_sink);
  void wait_for_description(const std::string& name, const std::string& description, bool is_sink);
  void wait_for_default(const std::string& label, const std::string& name);
  void signal_servers(int signal);
  [[noreturn]] void fail(const std::string& message) const;

  ServerKind kind_;
  ServerFiles files_;
  std::vector<ServerProcess> processes_;
  // PipeWire nodes made by add_source/add_sink, by node id.
  std::map<std::uint32_t, Node> nodes_;
};

}  // namespace tavikrec::testing
