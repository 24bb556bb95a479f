"""Cost: CPU seconds per second of captured audio and peak RSS of tavikrec
against parecord doing the same job, and against the polling floor,
alternated over several rounds."""
from __future__ import annotations

import subprocess
import threading
import time
from dataclasses import dataclass, field

from . import probes, server, stats
from .capture import Capture
from .frames import RATE
from .procstat import memory_kib, reap

BYTES_PER_SECOND = 2 * RATE


@dataclass
class Sample:
    cpu_ms_per_audio_s: float
    peak_rss_kib: int


@dataclass
class Contestant:
    name: str
    samples: list[Sample] = field(default_factory=list)

    def median_cpu(self) -> float:
        return stats.median([s.cpu_ms_per_audio_s for s in self.samples])

    def median_rss(self) -> float:
        return stats.median([s.peak_rss_kib for s in self.samples])


def _tavikrec(binary: str, args: list[str], env: dict, seconds: float) -> Sample:
    capture = Capture(binary, args, env, keep_samples=False)
    capture.wait_ready()
    time.sleep(seconds)
    peak = memory_kib(capture.pid)["VmHWM"]
    status, usage = capture.stop()
    if status != 0 or capture.stream_error:
        raise RuntimeError(f"tavikrec {args}: status {status}, {capture.stream_error}, {capture.lines}")
    channels = len(args)
    audio = sum(f.count for f in capture.frames) / RATE / channels
    return Sample(1000 * usage.cpu_seconds / audio, peak)


def _parecords(devices: list[str], env: dict, seconds: float) -> Sample:
    processes = [probes.start_parecord(d, env) for d in devices]
    counts = [0] * len(processes)

    def count(index: int) -> None:
        while chunk := processes[index].stdout.read1(1 << 16):
            counts[index] += len(chunk)

    readers = [threading.Thread(target=count, args=(i,)) for i in range(len(processes))]
    for reader in readers:
        reader.start()
    time.sleep(seconds + 0.3)  # tavikrec's runs also include its start-up
    peak = sum(memory_kib(p.pid)["VmHWM"] for p in processes)
    cpu = sum(probes.stop_parecord(p)[1].cpu_seconds for p in processes)
    for reader in readers:
        reader.join()
    audio = sum(counts) / BYTES_PER_SECOND / len(processes)
    return Sample(1000 * cpu / audio, peak)


def _floor(floor_binary: str, polling: int, fillers: int, seconds: float) -> Sample:
    process = subprocess.Popen([floor_binary, str(seconds), str(polling), str(fillers)])
    time.sleep(seconds / 2)
    peak = memory_kib(process.pid)["VmHWM"]
    status, usage = reap(process.pid)
    process.returncode = status
    return Sample(1000 * usage.cpu_seconds / seconds, peak)


def measure(binary: str, floor_binary: str, env: dict, rounds: int, seconds: float) -> list[Contestant]:
    """Every round runs each contestant once; the starting contestant
    rotates from round to round so that none always follows the same one."""
    runs = [
        ("tavikrec --mic --system", lambda: _tavikrec(binary, ["--mic", "--system"], env, seconds)),
        ("parecord pair", lambda: _parecords([server.MIC, server.MONITOR], env, seconds)),
        ("floor: 2 threads at 5 ms + 1 at 40 ms", lambda: _floor(floor_binary, 2, 1, seconds)),
        ("tavikrec --mic", lambda: _tavikrec(binary, ["--mic"], env, seconds)),
        ("parecord (mic)", lambda: _parecords([server.MIC], env, seconds)),
        ("floor: 1 thread at 5 ms", lambda: _floor(floor_binary, 1, 0, seconds)),
    ]
    contestants = [Contestant(name) for name, _ in runs]
    for round_index in range(rounds):
        for offset in range(len(runs)):
            index = (round_index + offset) % len(runs)
            contestants[index].samples.append(runs[index][1]())
    return contestants
