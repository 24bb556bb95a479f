"""Private sound servers. The loop rig is PulseAudio with the default output
"speakers", a 16 kHz mono null sink, and the default microphone a remap of
its monitor, so the microphone hears exactly what is played. The drift rig
is PulseAudio with a pipe source and a pipe sink, whose clocks are the
bench's pace on their FIFOs; PipeWire's pulse server (0.3, or 1.4 from its
own prefix) serves its microphone case."""
from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

RIG = """\
load-module module-native-protocol-unix auth-anonymous=1 socket={run}/native
load-module module-null-sink sink_name=speakers rate=16000 channels=1 format=s16le sink_properties=device.description=Speakers norewinds=1
load-module module-remap-source source_name=mic master=speakers.monitor source_properties=device.description=Microphone
set-default-sink speakers
set-default-source mic
"""
# Both devices run at the pace of whoever feeds or drains their FIFO.
PIPE_FORMAT = "format=s16le rate=16000 channels=1"
DRIFT_RIG = f"""\
load-module module-native-protocol-unix auth-anonymous=1 socket={{run}}/native
load-module module-pipe-sink sink_name=speakers file={{root}}/speakers.fifo {PIPE_FORMAT} sink_properties=device.description=Speakers
load-module module-pipe-source source_name=mic file={{root}}/mic.fifo {PIPE_FORMAT} source_properties=device.description=Microphone
set-default-sink speakers
set-default-source mic
"""
MONITOR = "speakers.monitor"
MIC = "mic"


class _Server:
    """Started on entering a with-block; a start that fails half-way is
    stopped again before the error goes on."""

    def _start(self) -> None:
        raise NotImplementedError

    def __exit__(self, *exc) -> None:
        raise NotImplementedError

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self


class PrivateServer(_Server):
    """Context manager: starts the server in its own temp dir and kills it
    by pid (and removes the dir) on the way out, also after a failure."""

    def __init__(self, script: str = RIG) -> None:
        self.script = script
        self.root = tempfile.mkdtemp(prefix="tavikbench.")
        self.process: subprocess.Popen | None = None
        self.env = dict(os.environ)

    def _start(self) -> None:
        run, home = os.path.join(self.root, "run"), os.path.join(self.root, "home")
        os.makedirs(run)
        os.makedirs(home)
        config = os.path.join(self.root, "rig.pa")
        with open(config, "w") as f:
            f.write(self.script.format(run=run, root=self.root))
        client_conf = os.path.join(self.root, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        server_env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=run)
        with open(os.path.join(self.root, "server.log"), "w") as log:
            self.process = subprocess.Popen(
                ["pulseaudio", "-n", "-F", config, "--exit-idle-time=-1", "--daemonize=no",
                 "--use-pid-file=no", "--disallow-exit"],
                env=server_env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.env.update(PULSE_SERVER=f"unix:{run}/native", PULSE_CLIENTCONFIG=client_conf)
        self._wait_ready()

    def _wait_ready(self) -> None:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"pulseaudio exited; see {self.root}/server.log")
            if self.pactl("info", check=False).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("pulseaudio did not answer within 15 s")

    def pactl(self, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, check=check)

    def __exit__(self, *exc) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def describe(self) -> str:
        """What answers on the socket, from `pactl info`."""
        return describe(self.pactl("info").stdout)


def describe(info: str) -> str:
    fields = dict(line.split(": ", 1) for line in info.splitlines() if ": " in line)
    name = fields.get("Server Name", "?")
    return name if "PipeWire" in name else f"{name} {fields.get('Server Version', '?')}"


PIPEWIRE14_PREFIX = "/opt/tavikrec/pipewire-1.4"
SESSION_BUS = """\
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""
# WirePlumber would otherwise open the machine's sound cards, cameras and
# Bluetooth devices: 0.4 reads Lua overrides, 0.5 a profile.
WIREPLUMBER04 = {
    "wireplumber/main.lua.d/90-tavikbench.lua":
        "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n",
    "wireplumber/bluetooth.lua.d/90-tavikbench.lua": "bluez_monitor.enabled = false\n",
}
WIREPLUMBER05 = """\
wireplumber.profiles = {
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
"""
# Variables that would send a client or a server somewhere else.
FOREIGN = ("DISPLAY", "WAYLAND_DISPLAY", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PULSE_COOKIE", "PULSE_SINK",
           "PULSE_SOURCE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE", "PIPEWIRE_CONFIG_DIR", "PIPEWIRE_CONFIG_NAME",
           "PIPEWIRE_MODULE_DIR", "SPA_PLUGIN_DIR", "WIREPLUMBER_CONFIG_DIR", "WIREPLUMBER_DATA_DIR",
           "WIREPLUMBER_MODULE_DIR")


class PipeWireServer(_Server):
    """Context manager: PipeWire, WirePlumber and pipewire-pulse behind a
    private session bus, in a temp dir of their own, as the C++ tests start
    them (tests/support): `version` "0.3" is the system's, "1.4" the one
    scripts/install-deps unpacks into PIPEWIRE14_PREFIX. No devices; the
    caller loads them with pactl. Every process is stopped by its pid and
    the dir removed on the way out, also after a failure."""

    def __init__(self, version: str) -> None:
        self.version = version
        # Under /tmp whatever TMPDIR says: socket paths must stay short.
        self.root = tempfile.mkdtemp(prefix="tavikbench.", dir="/tmp")
        self.processes: list[subprocess.Popen] = []
        self.env: dict[str, str] = {}  # for clients: tavikrec, pactl, pacat
        self.tool_env: dict[str, str] = {}  # for the servers and pw-cli

    def _path(self, *parts: str) -> str:
        return os.path.join(self.root, *parts)

    def _write(self, relative: str, text: str) -> None:
        os.makedirs(os.path.dirname(self._path(relative)), exist_ok=True)
        with open(self._path(relative), "w") as f:
            f.write(text)

    def _start(self) -> None:
        for name in ("home", "run", "config", "state", "data", "cache"):
            os.makedirs(self._path(name), mode=0o700)
        self._write("client.conf", "autospawn = no\n")
        self._write("session-bus.conf", SESSION_BUS.format(socket=self._path("bus")))
        base = {k: v for k, v in os.environ.items() if k not in FOREIGN}
        self.env = dict(base, HOME=self._path("home"), XDG_RUNTIME_DIR=self._path("run"),
                        XDG_CONFIG_HOME=self._path("config"), XDG_STATE_HOME=self._path("state"),
                        XDG_DATA_HOME=self._path("data"), XDG_CACHE_HOME=self._path("cache"),
                        PULSE_SERVER="unix:" + self._path("run", "pulse", "native"),
                        PULSE_CLIENTCONFIG=self._path("client.conf"),
                        DBUS_SESSION_BUS_ADDRESS="unix:path=" + self._path("bus"),
                        DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + self._path("no-system-bus"))
        self.tool_env = dict(self.env)
        if self.version == "0.3":
            for relative, text in WIREPLUMBER04.items():
                self._write(os.path.join("config", relative), text)
        elif self.version == "1.4":
            self._write("wireplumber/wireplumber.conf.d/90-tavikbench.conf", WIREPLUMBER05)
            self.tool_env.update(pipewire14_environment(self._path("wireplumber")))
        else:
            raise ValueError(f"PipeWire {self.version}: 0.3 or 1.4")
        bus = self._launch("dbus-daemon", "--config-file=" + self._path("session-bus.conf"), "--nofork",
                           "--print-address")
        self.wait_until("the session bus", lambda: "\n" in open(self._path(f"{bus}.out")).read())
        # WirePlumber and pipewire-pulse give up when PipeWire is not there yet.
        self._launch("pipewire")
        self.wait_until("PipeWire's socket", lambda: _accepts(self._path("run", "pipewire-0")))
        self._launch("wireplumber")
        self._launch("pipewire-pulse")
        self.wait_until("pipewire-pulse answering", lambda: self.pactl("info", check=False).returncode == 0)
        # Defaults live in WirePlumber's metadata; one set before it exists is lost.
        self.wait_until("WirePlumber's default metadata", lambda: 'metadata.name = "default"' in subprocess.run(
            ["pw-cli", "ls", "Metadata"], env=self.tool_env, capture_output=True, text=True).stdout)
        name = self.describe()
        if f"PipeWire {self.version}." not in name:
            raise RuntimeError(f"expected PipeWire {self.version}, found {name}")

    def _launch(self, program: str, *args: str) -> str:
        """Starts `program` with its output in the root; returns the logs' stem."""
        stem = f"{program}.{len(self.processes)}"
        with open(self._path(f"{stem}.out"), "w") as out, open(self._path(f"{stem}.err"), "w") as err:
            path = shutil.which(program, path=self.tool_env.get("PATH"))
            if path is None:
                raise RuntimeError(f"{program} not found (scripts/install-deps installs it)")
            self.processes.append(subprocess.Popen([path, *args], env=self.tool_env, stdin=subprocess.DEVNULL,
                                                   stdout=out, stderr=err))
        return stem

    def wait_until(self, what: str, ready, seconds: float = 15.0) -> None:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for process in self.processes:
                if process.poll() is not None:
                    raise RuntimeError(f"{process.args[0]} exited while waiting for {what}; logs in {self.root}")
            if ready():
                return
            time.sleep(0.05)
        raise RuntimeError(f"timed out waiting for {what}")

    def pactl(self, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, check=check)

    def describe(self) -> str:
        return describe(self.pactl("info").stdout)

    def set_default_source(self, name: str) -> None:
        """WirePlumber applies a new default a moment after pactl returns."""
        self.pactl("set-default-source", name)
        self.wait_until(f"default source {name}", lambda: f"\nDefault Source: {name}\n" in self.pactl("info").stdout)

    def __exit__(self, *exc) -> None:
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def pipewire14_environment(wireplumber_config: str) -> dict[str, str]:
    """PATH, libraries, plugins, modules and configuration of the 1.4
    prefix; WirePlumber's lookup starts at `wireplumber_config` (it would
    otherwise find Debian 12's WirePlumber 0.4 files, which 0.5 refuses)."""
    if not os.access(os.path.join(PIPEWIRE14_PREFIX, "usr/bin/pipewire"), os.X_OK):
        raise RuntimeError(f"PipeWire 1.4 is not installed in {PIPEWIRE14_PREFIX} (scripts/install-deps unpacks it)")
    architecture = subprocess.run(["gcc", "-print-multiarch"], capture_output=True, text=True).stdout.strip() \
        or "x86_64-linux-gnu"
    libraries = os.path.join(PIPEWIRE14_PREFIX, "usr/lib", architecture)
    share = os.path.join(PIPEWIRE14_PREFIX, "usr/share")
    return {
        "PATH": os.path.join(PIPEWIRE14_PREFIX, "usr/bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
        "LD_LIBRARY_PATH": libraries,
        "SPA_PLUGIN_DIR": os.path.join(libraries, "spa-0.2"),
        "PIPEWIRE_MODULE_DIR": os.path.join(libraries, "pipewire-0.3"),
        "PIPEWIRE_CONFIG_DIR": os.path.join(share, "pipewire"),
        "WIREPLUMBER_MODULE_DIR": os.path.join(libraries, "wireplumber-0.5"),
        "WIREPLUMBER_DATA_DIR": os.path.join(share, "wireplumber"),
        "WIREPLUMBER_CONFIG_DIR": wireplumber_config + ":" + os.path.join(share, "wireplumber"),
    }


def _accepts(path: str) -> bool:
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(path)
            return True
        except OSError:
            return False
