"""A private PulseAudio server wired as a loop rig: the default output
"speakers" is a 16 kHz mono null sink, and the default microphone is a
remap of its monitor, so the microphone hears exactly what is played."""
from __future__ import annotations

import os
import shutil
import signal
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
MONITOR = "speakers.monitor"
MIC = "mic"


class PrivateServer:
    """Context manager: starts the server in its own temp dir and kills it
    by pid (and removes the dir) on the way out, also after a failure."""

    def __init__(self) -> None:
        self.root = tempfile.mkdtemp(prefix="tavikbench.")
        self.process: subprocess.Popen | None = None
        self.env = dict(os.environ)

    def __enter__(self) -> "PrivateServer":
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self) -> None:
        run, home = os.path.join(self.root, "run"), os.path.join(self.root, "home")
        os.makedirs(run)
        os.makedirs(home)
        config = os.path.join(self.root, "rig.pa")
        with open(config, "w") as f:
            f.write(RIG.format(run=run))
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
