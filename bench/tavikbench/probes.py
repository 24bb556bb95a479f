"""Other clients on the private server: parecord processes as the cost
baseline, and pacat playing the test signal."""
from __future__ import annotations

import signal
import subprocess
import threading

from .procstat import Usage, reap

RECORD_ARGS = ["--raw", "--format=s16le", "--rate=16000", "--channels=1", "--latency-msec=40"]


def start_parecord(device: str, env: dict[str, str]) -> subprocess.Popen:
    """Records `device` to stdout (a pipe the caller reads) with the
    parameters users pick for this job."""
    return subprocess.Popen(["parecord", *RECORD_ARGS, f"--device={device}"], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def stop_parecord(process: subprocess.Popen) -> tuple[int, Usage]:
    process.send_signal(signal.SIGINT)
    status, usage = reap(process.pid)
    process.returncode = status
    return status, usage


class Player:
    """Context manager: pacat plays 16 kHz mono s16le into a sink from
    entry until the signal ends or the exit, whichever comes first. The
    signal is fed from a thread; pacat's default 2 s buffer keeps the sink
    fed even when the machine is busy."""

    def __init__(self, raw_s16le: bytes, device: str, env: dict[str, str]) -> None:
        self.process = subprocess.Popen(["pacat", "--playback", *RECORD_ARGS[:4], f"--device={device}"], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._feeder = threading.Thread(target=self._feed, args=(raw_s16le,), daemon=True)

    def _feed(self, raw: bytes) -> None:
        try:
            self.process.stdin.write(raw)
            self.process.stdin.close()
        except BrokenPipeError:  # stopped before the end of the signal
            pass

    def __enter__(self) -> "Player":
        self._feeder.start()
        return self

    def __exit__(self, *exc) -> None:
        self.process.terminate()
        self.process.wait()
        self._feeder.join()
