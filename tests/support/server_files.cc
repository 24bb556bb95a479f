#include "support/server_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tavikrec::testing {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) throw std::runtime_error("could not write " + path.string());
}

fs::path make_temp_root() {
  std::string pattern = "/tmp/tavikrec-sound.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  return pattern;
}

// Only the protocol module: every device is created by the test at run
// time, so a server with no devices (and so no defaults) is expressible.
std::string pulseaudio_script(const fs::path& socket) {
  return "load-module module-native-protocol-unix auth-anonymous=1 socket=" + socket.string() + "\n";
}

std::string bus_config(const fs::path& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// WirePlumber would otherwise open the machine's sound cards, cameras and
// Bluetooth devices. 0.4 reads Lua overrides from XDG_CONFIG_HOME.
void write_wireplumber04_overrides(const fs::path& config_home) {
  fs::path main = config_home / "wireplumber" / "main.lua.d";
  fs::path bluetooth = config_home / "wireplumber" / "bluetooth.lua.d";
  fs::create_directories(main);
  fs::create_directories(bluetooth);
  write_file(main / "90-tavikrec-test.lua",
             "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n");
  write_file(bluetooth / "90-tavikrec-test.lua", "bluez_monitor.enabled = false\n");
}

// 0.5 reads SPA-JSON fragments instead, and turns the monitors off through
// its profile.
void write_wireplumber05_profile(const fs::path& config) {
  fs::path fragments = config / "wireplumber.conf.d";
  fs::create_directories(fragments);
  write_file(fragments / "90-tavikrec-test.conf", R"(wireplumber.profiles = {
  main = {
    hardware.audio = disabled
    hardware.bluetooth = disabled
    hardware.video-capture = disabled
    monitor.alsa = disabled
    monitor.alsa-midi = disabled
    monitor.bluez = disabled
    monitor.bluez-midi = disabled
    monitor.v4l2 = disabled
    monitor.libcamera = disabled
  }
}
)");
}

void fill_server_files(ServerKind kind, ServerFiles& f) {
  f.home = f.root / "home";
  f.runtime_dir = f.root / "run";
  f.config_home = f.root / "config";
  f.state_home = f.root / "state";
  f.data_home = f.root / "data";
  f.cache_home = f.root / "cache";
  f.client_config = f.root / "client.conf";
  f.session_bus = f.root / "bus";
  f.system_bus = f.root / "no-system-bus";
  for (const fs::path& dir : {f.home, f.runtime_dir, f.config_home, f.state_home, f.data_home, f.cache_home}) {
    fs::create_directories(dir);
  }
  fs::permissions(f.runtime_dir, fs::perms::owner_all, fs::perm_options::replace);
  write_file(f.client_config, "autospawn = no\n");

  if (kind == ServerKind::PulseAudio) {
    f.pulse_socket = f.root / "native";
    f.pulseaudio_script = f.root / "server.pa";
    write_file(f.pulseaudio_script, pulseaudio_script(f.pulse_socket));
  } else {
    f.pulse_socket = f.runtime_dir / "pulse" / "native";
    f.bus_config = f.root / "session-bus.conf";
    write_file(f.bus_config, bus_config(f.session_bus));
    if (kind == ServerKind::PipeWire) {
      write_wireplumber04_overrides(f.config_home);
    } else {
      f.wireplumber_config = f.root / "wireplumber";
      write_wireplumber05_profile(f.wireplumber_config);
    }
  }
}

}  // namespace

bool is_pipewire(ServerKind kind) { return kind != ServerKind::PulseAudio; }

std::string server_kind_name(ServerKind kind) {
  switch (kind) {
    case ServerKind::PulseAudio:
      return "PulseAudio";
    case ServerKind::PipeWire:
      return "PipeWire";
    case ServerKind::PipeWire14:
      return "PipeWire14";
  }
  std::unreachable();
}

ServerFiles create_server_files(ServerKind kind) {
  ServerFiles f;
  f.root = make_temp_root();
  try {
    fill_server_files(kind, f);
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(f.root, ignored);
    throw;
  }
  return f;
}

}  // namespace tavikrec::testing
