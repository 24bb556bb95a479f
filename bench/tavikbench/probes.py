"""Other clients on the private server: parecord/pacat processes, used as
the cost baseline, as latency probes (pacat -v prints the latency libpulse
reports for its record stream every 50 ms) and to play the test signal."""
from __future__ import annotations

import re
import signal
import subprocess

from .procstat import Usage, reap

RECORD_ARGS = ["--raw", "--format=s16le", "--rate=16000", "--channels=1", "--latency-msec=40"]
LATENCY = re.compile(rb"Latency: (-?\d+) usec")


def start_parecord(device: str, env: dict[str, str], verbose: bool = False) -> subprocess.Popen:
    """Records `device` to stdout (a pipe the caller reads) with the
    parameters users pick for this job; stderr is a pipe when verbose."""
    args = ["parecord", *RECORD_ARGS, f"--device={device}"] + (["-v"] if verbose else [])
    return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE if verbose else subprocess.DEVNULL)


def stop_parecord(process: subprocess.Popen) -> tuple[int, Usage]:
    process.send_signal(signal.SIGINT)
    status, usage = reap(process.pid)
    process.returncode = status
    return status, usage


def latencies_usec(verbose_stderr: bytes) -> list[int]:
    """The stream latencies in a `parecord -v` transcript."""
    return [int(m.group(1)) for m in LATENCY.finditer(verbose_stderr)]


def play(raw_s16le: bytes, device: str, env: dict[str, str]) -> None:
    """Plays 16 kHz mono s16le into a sink and returns when it has drained."""
    subprocess.run(["pacat", "--playback", *RECORD_ARGS[:4], f"--device={device}"], input=raw_s16le,
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
