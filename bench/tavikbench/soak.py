"""Soak: one long capture, sampled every minute for RSS and CPU; at the end
the RSS slope and each channel's timeline span against wall time."""
from __future__ import annotations

import time
from dataclasses import dataclass

from . import stats
from .backlog import channel_spans
from .capture import Capture
from .procstat import cpu_seconds, memory_kib


@dataclass
class SoakPoint:
    minute: float
    rss_kib: int
    cpu_ms_per_s: float  # over the minute before


@dataclass
class SoakRun:
    points: list[SoakPoint]
    rss_slope_kib_per_hour: float
    peak_rss_kib: int
    spans_s: dict[int, float]
    wall_s: float
    complete: bool


def measure(binary: str, env: dict, minutes: float, interval_s: float = 60.0) -> SoakRun:
    capture = Capture(binary, ["--mic", "--system"], env, keep_samples=False)
    capture.wait_ready()
    start = time.monotonic()
    points: list[SoakPoint] = []
    last_cpu, last_t = cpu_seconds(capture.pid), start
    while time.monotonic() - start < minutes * 60:
        time.sleep(min(interval_s, max(0.0, minutes * 60 - (time.monotonic() - start))))
        now, cpu = time.monotonic(), cpu_seconds(capture.pid)
        points.append(SoakPoint((now - start) / 60, memory_kib(capture.pid)["VmRSS"],
                                1000 * (cpu - last_cpu) / (now - last_t)))
        last_cpu, last_t = cpu, now
    peak = memory_kib(capture.pid)["VmHWM"]
    status, _ = capture.stop()
    slope = stats.slope([p.minute for p in points], [p.rss_kib for p in points]) * 60 if len(points) > 1 else 0.0
    spans = channel_spans(capture.frames)
    return SoakRun(points, slope, peak, spans, (capture.stop_ns - capture.spawn_ns) / 1e9,
                   status == 0 and capture.stream_error is None and set(spans) == {0, 1})
