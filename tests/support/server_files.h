// The private directory tree of one test sound server: a fresh temporary
// directory holding its HOME, XDG directories, sockets and the configuration
// files that keep the server to itself (no hardware, no desktop bus, no
// autospawn).
#pragma once

#include <filesystem>
#include <string>

namespace tavikrec::testing {

// PipeWire is the system's (0.3 on Debian 12, with WirePlumber 0.4);
// PipeWire14 is 1.4 with WirePlumber 0.5, what current desktops run, from
// the prefix scripts/install-deps fills.
enum class ServerKind { PulseAudio, PipeWire, PipeWire14 };

bool is_pipewire(ServerKind kind);
// "PulseAudio", "PipeWire", "PipeWire14": names test instances.
std::string server_kind_name(ServerKind kind);

struct ServerFiles {
  std::filesystem::path root;  // everything below lives here
  std::filesystem::path home;
  std::filesystem::path runtime_dir;  // XDG_RUNTIME_DIR, mode 0700
  std::filesystem::path config_home;
  std::filesystem::path state_home;
  std::filesystem::path data_home;
  std::filesystem::path cache_home;
  std::filesystem::path client_config;  // client.conf with autospawn off
  std::filesystem::path pulse_socket;   // where the pulse protocol listens
  std::filesystem::path session_bus;    // socket of the private session bus
  std::filesystem::path system_bus;     // never created: keeps clients off the machine's bus
  std::filesystem::path pulseaudio_script;  // PulseAudio only
  std::filesystem::path bus_config;         // PipeWire only
  std::filesystem::path wireplumber_config;  // PipeWire14 only: WirePlumber 0.5's own lookup
};

// Creates the tree under /tmp (short enough for socket paths whatever TMPDIR
// says) and writes the files `kind` needs. The caller owns `root` and
// removes it. Throws std::runtime_error on failure.
ServerFiles create_server_files(ServerKind kind);

}  // namespace tavikrec::testing
