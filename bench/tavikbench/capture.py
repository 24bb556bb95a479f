"""One tavikrec capture run driven like its parent would drive it: frames
read from stdout (each stamped with its arrival on CLOCK_MONOTONIC),
diagnostic lines from stderr, and stdin closed to stop it."""
from __future__ import annotations

import os
import subprocess
import threading
import time

from .frames import Frame, FrameParser
from .procstat import Usage, reap


def monotonic_ns() -> int:
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


class Capture:
    def __init__(self, binary: str, args: list[str], env: dict[str, str], keep_samples: bool = True) -> None:
        # Taken before the fork: the capture epoch is read later, so frame
        # times measured from here overstate delivery latency, never hide it.
        self.spawn_ns = monotonic_ns()
        self.process = subprocess.Popen([binary, *args], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pid = self.process.pid
        self.frames: list[Frame] = []
        self.lines: list[str] = []
        self.stream_error: str | None = None
        self.stop_ns = 0
        self._reading = threading.Event()
        self._reading.set()
        self._ready = threading.Event()
        self._parser = FrameParser(keep_samples=keep_samples)
        self._threads = [threading.Thread(target=self._read_frames, daemon=True),
                         threading.Thread(target=self._read_lines, daemon=True)]
        for thread in self._threads:
            thread.start()

    def _read_frames(self) -> None:
        fd = self.process.stdout.fileno()
        try:
            while True:
                self._reading.wait()
                data = os.read(fd, 1 << 16)
                now = monotonic_ns()
                if not data:
                    self._parser.finish()
                    return
                self.frames.extend(self._parser.feed(data, now))
        except Exception as error:  # the report names it; the run goes on to stop
            self.stream_error = str(error)
            self._drain(fd)

    @staticmethod
    def _drain(fd: int) -> None:
        while os.read(fd, 1 << 16):
            pass

    def _read_lines(self) -> None:
        for raw in self.process.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            if line == "tavikrec: ready":
                self._ready.set()

    def wait_ready(self, timeout: float = 20.0) -> None:
        if not self._ready.wait(timeout):
            raise RuntimeError(f"tavikrec not ready: {self.lines}")

    def pause_reading(self) -> None:
        """The reader stops after its current read; tavikrec's frames pile up."""
        self._reading.clear()

    def resume_reading(self) -> None:
        self._reading.set()

    def stop(self) -> tuple[int, Usage]:
        """Closes stdin, reads everything to the end, reaps the process."""
        self.resume_reading()
        self.stop_ns = monotonic_ns()
        self.process.stdin.close()
        for thread in self._threads:
            thread.join(timeout=30)
        status, usage = reap(self.pid)
        self.process.returncode = status
        return status, usage

    def channel(self, tag: int) -> list[Frame]:
        return [f for f in self.frames if f.tag == tag]
