// The private directory tree of one test sound server: a fresh temporary
// directory holding its HOME, XDG directories, sockets and the configuration
// files that keep the server to itself (no hardware, no desktop bus, no
// autospawn).
#pragma once

#include <filesystem>

namespace tavikrec::testing {

enum class ServerKind { PulseAudio, PipeWire };

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
};

// Creates the tree under /tmp (short enough for socket paths whatever TMPDIR
// says) and writes the files `kind` needs. The caller owns `root` and
// removes it. Throws std::runtime_error on failure.
ServerFiles create_server_files(ServerKind kind);

}  // namespace tavikrec::testing
