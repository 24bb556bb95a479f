#include "support/server_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

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
// Bluetooth devices.
void write_wireplumber_overrides(const fs::path& config_home) {
  fs::path main = config_home / "wireplumber" / "main.lua.d";
  fs::path bluetooth = config_home / "wireplumber" / "bluetooth.lua.d";
  fs::create_directories(main);
  fs::create_directories(bluetooth);
  write_file(main / "90-tavikrec-test.lua",
             "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n");
  write_file(bluetooth / "90-tavikrec-test.lua", "bluez_monitor.enabled = false\n");
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
    write_wireplumber_overrides(f.config_home);
  }
}

}  // namespace

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
