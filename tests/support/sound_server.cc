#include "support/sound_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/module_arguments.h"
#include "support/pipewire_prefix.h"

namespace tavikrec::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kStartDeadline = 10s;
constexpr auto kPollInterval = 20ms;
constexpr size_t kLogTailLines = 15;

// Looks `name` up in `environment`'s PATH, or this process's.
std::string find_program(const std::string& name, const std::map<std::string, std::optional<std::string>>& environment) {
  auto set = environment.find("PATH");
  const char* path = set != environment.end() && set->second ? set->second->c_str() : std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error(name + " not found in PATH (scripts/install-deps installs it)");
}

bool socket_accepts(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

std::string last_lines(const std::string& text, size_t count) {
  size_t start = text.size();
  for (size_t found = 0; start > 0 && found <= count;) {
    --start;
    if (text[start] == '\n') ++found;
  }
  return text.substr(start);
}

// The start of `pactl info`'s "Server Name" for each kind: the fixture must
// not test one server while claiming another.
std::string expected_server_name(ServerKind kind) {
  switch (kind) {
    case ServerKind::PulseAudio:
      return "pulseaudio\n";
    case ServerKind::PipeWire:
      return "PulseAudio (on PipeWire 0.3.";
    case ServerKind::PipeWire14:
      return "PulseAudio (on PipeWire 1.4.2)\n";
  }
  std::unreachable();
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// `pactl list sources|sinks` as name -> description.
std::map<std::string, std::string> parse_descriptions(const std::string& listing) {
  std::map<std::string, std::string> out;
  std::istringstream lines(listing);
  std::string line, name;
  while (std::getline(lines, line)) {
    if (line.starts_with("\tName: ")) name = line.substr(7);
    if (line.starts_with("\tDescription: ")) out[name] = line.substr(14);
  }
  return out;
}

// The index column of `pactl list short ...` for `name`.
std::optional<std::uint32_t> short_list_index(const std::string& listing, const std::string& name) {
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos || line.compare(tab + 1, name.size() + 1, name + "\t") != 0) continue;
    return static_cast<std::uint32_t>(std::stoul(line.substr(0, tab)));
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<SoundServer> SoundServer::start(ServerKind kind, const ServerSetup& setup) {
  if (kind == ServerKind::PipeWire14) require_pipewire14();
  std::unique_ptr<SoundServer> server(new SoundServer(kind, create_server_files(kind)));
  if (kind == ServerKind::PulseAudio) {
    server->start_pulseaudio();
  } else {
    server->start_pipewire();
  }
  server->check_server_name();
  server->apply(setup);
  return server;
}

SoundServer::SoundServer(ServerKind kind, ServerFiles files) : kind_(kind), files_(std::move(files)) {}

SoundServer::~SoundServer() {
  for (auto& p : processes_) p.child->send_signal(SIGKILL);
  processes_.clear();  // each ChildProcess reaps its own pid
  std::error_code ignored;
  fs::remove_all(files_.root, ignored);
}

std::map<std::string, std::optional<std::string>> SoundServer::client_environment() const {
  std::map<std::string, std::optional<std::string>> env{
      {"HOME", files_.home.string()},
      {"XDG_RUNTIME_DIR", files_.runtime_dir.string()},
      {"XDG_CONFIG_HOME", files_.config_home.string()},
      {"XDG_STATE_HOME", files_.state_home.string()},
      {"XDG_DATA_HOME", files_.data_home.string()},
      {"XDG_CACHE_HOME", files_.cache_home.string()},
      {"PULSE_SERVER", "unix:" + files_.pulse_socket.string()},
      {"PULSE_CLIENTCONFIG", files_.client_config.string()},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + files_.session_bus.string()},
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + files_.system_bus.string()},
  };
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PULSE_COOKIE",
                           "PULSE_SINK", "PULSE_SOURCE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE",
                           "PIPEWIRE_CONFIG_DIR", "PIPEWIRE_CONFIG_NAME", "PIPEWIRE_MODULE_DIR", "SPA_PLUGIN_DIR",
                           "WIREPLUMBER_CONFIG_DIR", "WIREPLUMBER_DATA_DIR", "WIREPLUMBER_MODULE_DIR"}) {
    env[name] = std::nullopt;
  }
  return env;
}

std::map<std::string, std::optional<std::string>> SoundServer::tool_environment() const {
  auto env = client_environment();
  if (kind_ == ServerKind::PipeWire14) {
    for (auto& [name, value] : pipewire14_environment(files_.wireplumber_config)) env[name] = value;
  }
  return env;
}

void SoundServer::launch(const std::string& program, const std::vector<std::string>& args, bool is_bus) {
  ChildOptions options;
  options.environment = tool_environment();
  processes_.push_back(
      {program, std::make_unique<ChildProcess>(find_program(program, options.environment), args, options), is_bus});
}

void SoundServer::start_pulseaudio() {
  launch("pulseaudio", {"-n", "-F", files_.pulseaudio_script.string(), "--daemonize=no", "--system=no",
                        "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no", "--log-target=stderr",
                        "--realtime=no", "--high-priority=no", "--no-cpu-limit"});
  wait_until("PulseAudio answering", [&] { return run_client("pactl", {"info"}, 2s).status == ExitStatus::Code(0); });
}

void SoundServer::start_pipewire() {
  launch("dbus-daemon", {"--config-file=" + files_.bus_config.string(), "--nofork", "--print-address"}, true);
  ChildProcess& bus = *processes_.back().child;
  wait_until("the session bus", [&] { return bus.stdout_bytes().find('\n') != std::string::npos; });
  // WirePlumber and pipewire-pulse give up when PipeWire is not there yet.
  launch("pipewire", {});
  wait_until("PipeWire's socket", [&] { return socket_accepts(files_.runtime_dir / "pipewire-0"); });
  launch("wireplumber", {});
  launch("pipewire-pulse", {});
  wait_until("pipewire-pulse answering",
             [&] { return run_client("pactl", {"info"}, 2s).status == ExitStatus::Code(0); });
  // Defaults are kept in WirePlumber's metadata; setting one before it
  // exists would be lost.
  wait_until("WirePlumber's default metadata", [&] {
    return run_client("pw-cli", {"ls", "Metadata"}, 2s).out.find("metadata.name = \"default\"") != std::string::npos;
  });
}

void SoundServer::check_server_name() {
  std::string info = pactl({"info"});
  std::string expected = "\nServer Name: " + expected_server_name(kind_);
  if (info.find(expected) == std::string::npos) {
    fail(server_kind_name(kind_) + " fixture expected \"" + expected.substr(1) + "\" from pactl info:\n" + info);
  }
}

void SoundServer::apply(const ServerSetup& setup) {
  for (const auto& sink : setup.sinks) add_sink(sink);
  for (const auto& source : setup.sources) add_source(source);
  if (setup.default_sink) set_default_sink(*setup.default_sink);
  if (setup.default_source) set_default_source(*setup.default_source);
}

void SoundServer::wait_until(const std::string& what, const std::function<bool()>& ready) {
  auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  for (;;) {
    for (auto& p : processes_) {
      if (auto status = p.child->wait(0ms)) fail(p.name + " ended (" + describe(*status) + ") while waiting for " + what);
    }
    if (ready()) return;
    if (std::chrono::steady_clock::now() >= deadline) fail("timed out waiting for " + what);
    std::this_thread::sleep_for(kPollInterval);
  }
}

ClientResult SoundServer::run_client(const std::string& program, const std::vector<std::string>& args,
                                     std::chrono::milliseconds timeout) const {
  ChildOptions options;
  options.environment = tool_environment();
  // Untranslated labels, since the fixture parses pactl's listings.
  options.environment["LC_ALL"] = "C.UTF-8";
  options.environment["LANGUAGE"] = std::nullopt;
  ChildProcess child(find_program(program, options.environment), args, options);
  child.close_stdin();
  ExitStatus status = child.wait_or_kill(timeout);
  return {status, child.stdout_bytes(), child.stderr_text()};
}

std::string SoundServer::pactl(const std::vector<std::string>& args) const {
  ClientResult r = run_client("pactl", args);
  if (r.status != ExitStatus::Code(0)) {
    fail("pactl " + joined(args) + " failed (" + describe(r.status) + "): " + r.err);
  }
  return r.out;
}

std::uint32_t SoundServer::load_module(const std::string& name, const std::string& args) {
  std::vector<std::string> command{"load-module", name};
  if (!args.empty()) command.push_back(args);
  std::string out = pactl(command);
  try {
    return static_cast<std::uint32_t>(std::stoul(out));
  } catch (const std::exception&) {
    fail("pactl load-module " + name + " printed no module index: " + out);
  }
}

void SoundServer::unload_module(std::uint32_t index) {
  auto node = nodes_.find(index);
  if (node == nodes_.end()) {
    pactl({"unload-module", std::to_string(index)});
    return;
  }
  // pw-cli reports a failed destroy on stderr only, so the removal is
  // confirmed by watching the listing.
  ClientResult r = run_client("pw-cli", {"destroy", node->second.name});
  if (r.status != ExitStatus::Code(0) || !r.err.empty()) fail("pw-cli destroy " + node->second.name + ": " + r.err);
  wait_until("node " + node->second.name + " to go away", [&] {
    auto listed = node->second.is_sink ? sink_descriptions() : source_descriptions();
    return !listed.contains(node->second.name);
  });
  nodes_.erase(node);
}

std::uint32_t SoundServer::add_source(const DeviceSpec& device) { return add_device(device, false); }

std::uint32_t SoundServer::add_sink(const DeviceSpec& device) { return add_device(device, true); }

std::uint32_t SoundServer::add_device(const DeviceSpec& device, bool is_sink) {
  if (is_pipewire(kind_)) return add_pipewire_node(device, is_sink);
  if (!is_plain_device_name(device.name)) {
    throw std::invalid_argument("PulseAudio would rename device \"" + device.name + "\": use [A-Za-z0-9_.-]");
  }
  std::uint32_t index =
      is_sink ? load_module("module-null-sink", "sink_name=" + device.name + " norewinds=1 sink_properties=" +
                                                    description_properties(device.description))
              : load_module("module-null-source",
                            "source_name=" + device.name + " description=" + quoted_module_value(device.description));
  wait_for_description(device.name, device.description, is_sink);
  return index;
}

// pipewire-pulse's module argument parser mangles quotation marks and
// backslashes; pw-cli takes the properties as JSON strings.
std::uint32_t SoundServer::add_pipewire_node(const DeviceSpec& device, bool is_sink) {
  std::string properties = "{ factory.name=support.null-audio-sink node.name=" + json_string(device.name) +
                           " node.description=" + json_string(device.description) +
                           " media.class=" + (is_sink ? "Audio/Sink" : "Audio/Source/Virtual") +
                           " audio.position=[ FL FR ] monitor.channel-volumes=true object.linger=true }";
  ClientResult r = run_client("pw-cli", {"create-node", "adapter", properties});
  if (r.status != ExitStatus::Code(0) || !r.err.empty()) fail("pw-cli create-node " + device.name + ": " + r.err);
  wait_for_description(device.name, device.description, is_sink);
  auto index = short_list_index(pactl({"list", "short", is_sink ? "sinks" : "sources"}), device.name);
  if (!index) fail("node " + device.name + " missing from the short listing");
  nodes_[*index] = {device.name, is_sink};
  return *index;
}

std::uint32_t SoundServer::add_remap_source(const std::string& name, const std::string& description,
                                            const std::string& master) {
  std::uint32_t index = load_module("module-remap-source", "source_name=" + quoted_module_value(name) +
                                                               " master=" + quoted_module_value(master) +
                                                               " source_properties=" + description_properties(description));
  wait_for_description(name, description, false);
  return index;
}

void SoundServer::wait_for_description(const std::string& name, const std::string& description, bool is_sink) {
  wait_until("device " + name + " to be listed", [&] {
    auto listed = is_sink ? sink_descriptions() : source_descriptions();
    auto found = listed.find(name);
    if (found == listed.end()) return false;
    if (found->second != description) {
      fail("device " + name + " came out with description \"" + found->second + "\" instead of \"" + description +
           "\"");
    }
    return true;
  });
}

std::map<std::string, std::string> SoundServer::source_descriptions() const {
  return parse_descriptions(pactl({"list", "sources"}));
}

std::map<std::string, std::string> SoundServer::sink_descriptions() const {
  return parse_descriptions(pactl({"list", "sinks"}));
}

void SoundServer::set_default_source(const std::string& name) {
  pactl({"set-default-source", name});
  wait_for_default("Default Source: ", name);
}

void SoundServer::set_default_sink(const std::string& name) {
  pactl({"set-default-sink", name});
  wait_for_default("Default Sink: ", name);
}

// WirePlumber applies a new default a moment after pactl returns.
void SoundServer::wait_for_default(const std::string& label, const std::string& name) {
  wait_until(label + name, [&] { return pactl({"info"}).find("\n" + label + name + "\n") != std::string::npos; });
}

void SoundServer::suspend_source(const std::string& name, bool suspend) {
  pactl({"suspend-source", name, suspend ? "1" : "0"});
}

std::unique_ptr<Playback> SoundServer::play(const std::string& sink, std::vector<std::int16_t> samples, bool loop) {
  return std::make_unique<Playback>(find_program("pacat", {}), sink, std::move(samples), loop, client_environment());
}

std::vector<std::int16_t> SoundServer::record(const std::string& source, std::chrono::milliseconds duration) const {
  ChildOptions options;
  options.environment = client_environment();
  // Small fragments: parec's default holds back two seconds.
  ChildProcess parec(find_program("parec", {}),
                     {"--device=" + source, "--format=s16le", "--rate=16000", "--channels=1", "--raw",
                      "--latency-msec=20", "--client-name=tavikrec test recording"},
                     options);
  std::this_thread::sleep_for(duration);
  parec.send_signal(SIGINT);
  parec.wait_or_kill(5s);
  std::string bytes = parec.stdout_bytes();
  std::vector<std::int16_t> samples(bytes.size() / sizeof(std::int16_t));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(std::int16_t));
  return samples;
}

void SoundServer::signal_servers(int signal) {
  for (auto& p : processes_) {
    if (!p.is_bus) p.child->send_signal(signal);
  }
}

void SoundServer::pause() { signal_servers(SIGSTOP); }

void SoundServer::resume() { signal_servers(SIGCONT); }

void SoundServer::kill() {
  for (auto& p : processes_) p.child->send_signal(SIGKILL);
  for (auto& p : processes_) p.child->wait(5s);
}

std::vector<pid_t> SoundServer::pids() const {
  std::vector<pid_t> out;
  for (const auto& p : processes_) out.push_back(p.child->pid());
  return out;
}

std::string SoundServer::log_tail() const {
  std::string out;
  for (const auto& p : processes_) {
    out += "--- " + p.name + " (pid " + std::to_string(p.child->pid()) + ") ---\n" +
           last_lines(p.child->stderr_text(), kLogTailLines);
  }
  return out;
}

void SoundServer::fail(const std::string& message) const { throw std::runtime_error(message + "\n" + log_tail()); }

}  // namespace tavikrec::testing
