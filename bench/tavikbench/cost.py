"""Cost: CPU per second of captured audio, wake-ups per second and peak RSS
of `tavikrec --mic --system` (one or two builds of it) against a pair of
parecord doing the same job, alternated over several rounds."""
from __future__ import annotations

import threading
import time
from dataclasses import dataclass, field

from . import probes, server, stats
from .capture import Capture
from .frames import RATE
from .procstat import memory_kib, scheduling

BYTES_PER_SECOND = 2 * RATE
PAIR = "parecord pair"


@dataclass
class Sample:
    cpu_ms_per_audio_s: float  # whole life, from rusage
    wakeups_per_s: float  # scheduler run counts over the steady interval
    voluntary_per_s: float  # voluntary context switches, same interval
    peak_rss_kib: int


@dataclass
class Contestant:
    name: str
    samples: list[Sample] = field(default_factory=list)

    def median(self, key: str) -> float:
        return stats.median([getattr(s, key) for s in self.samples])

    def range(self, key: str) -> tuple[float, float]:
        values = [getattr(s, key) for s in self.samples]
        return min(values), max(values)


def _rates(pids: list[int], seconds: float) -> tuple[float, float]:
    """Wake-ups and voluntary switches per second of all `pids` together,
    over the next `seconds`."""
    before = [scheduling(p) for p in pids]
    start = time.monotonic()
    time.sleep(seconds)
    after = [scheduling(p) for p in pids]
    elapsed = time.monotonic() - start

    def per_second(key: str) -> float:
        return sum(getattr(a, key) - getattr(b, key) for a, b in zip(after, before)) / elapsed

    return per_second("runs"), per_second("voluntary_switches")


def _tavikrec(binary: str, env: dict, seconds: float, extra: tuple[str, ...] = ()) -> Sample:
    capture = Capture(binary, ["--mic", "--system", *extra], env, keep_samples=False)
    capture.wait_ready()
    wakeups, voluntary = _rates([capture.pid], seconds)
    peak = memory_kib(capture.pid)["VmHWM"]
    status, usage = capture.stop()
    if status != 0 or capture.stream_error:
        raise RuntimeError(f"{binary}: status {status}, {capture.stream_error}, {capture.lines}")
    audio = sum(f.count for f in capture.frames) / RATE / 2
    return Sample(1000 * usage.cpu_seconds / audio, wakeups, voluntary, peak)


def _parecord_pair(env: dict, seconds: float, settle_s: float = 0.3) -> Sample:
    processes = [probes.start_parecord(d, env) for d in (server.MIC, server.MONITOR)]
    counts = [0] * len(processes)

    def count(index: int) -> None:
        while chunk := processes[index].stdout.read1(1 << 16):
            counts[index] += len(chunk)

    readers = [threading.Thread(target=count, args=(i,)) for i in range(len(processes))]
    for reader in readers:
        reader.start()
    time.sleep(settle_s)  # connecting, as tavikrec does before "ready"
    wakeups, voluntary = _rates([p.pid for p in processes], seconds)
    peak = sum(memory_kib(p.pid)["VmHWM"] for p in processes)
    cpu = sum(probes.stop_parecord(p)[1].cpu_seconds for p in processes)
    for reader in readers:
        reader.join()
    audio = sum(counts) / BYTES_PER_SECOND / len(processes)
    return Sample(1000 * cpu / audio, wakeups, voluntary, peak)


def measure(binaries: list[tuple[str, str]], env: dict, rounds: int, seconds: float,
            echo: bool = False) -> list[Contestant]:
    """`binaries` are (label, path); with `echo`, the first also runs with
    --cancel-echo. Every round runs each contestant once; the starting
    contestant rotates from round to round so that none always follows the
    same one."""
    runs = [(f"{label} --mic --system", lambda path=path: _tavikrec(path, env, seconds)) for label, path in binaries]
    if echo:
        label, path = binaries[0]
        runs.append((f"{label} ... --cancel-echo", lambda: _tavikrec(path, env, seconds, ("--cancel-echo",))))
    runs.append((PAIR, lambda: _parecord_pair(env, seconds)))
    contestants = [Contestant(name) for name, _ in runs]
    for round_index in range(rounds):
        for offset in range(len(runs)):
            index = (round_index + offset) % len(runs)
            contestants[index].samples.append(runs[index][1]())
    return contestants
