"""Backlog: the reader stops reading for a while. tavikrec must keep every
frame queued (memory grows by the audio rate) and deliver them all, whole
and contiguous, once reading resumes."""
from __future__ import annotations

import time
from dataclasses import dataclass

from . import stats
from .capture import Capture
from .frames import RATE, Frame
from .procstat import memory_kib

FRAME_BYTES_PER_SECOND = (13 + 2 * 3200) * RATE / 3200  # 32,065 B/s per channel
# The pipe takes the first ~64 KiB before the queue starts to grow.
SETTLE_SECONDS = 3


@dataclass
class BacklogRun:
    pause_s: float
    growth_bytes_per_s: float  # VmRSS slope while paused, both channels together
    rss_before_kib: int
    rss_paused_peak_kib: int
    rss_after_kib: int
    spans_s: dict[int, float]  # per channel, from the sample counts
    wall_s: float
    complete: bool  # every frame arrived whole and contiguous
    stream_error: str | None

    @property
    def growth_per_channel_ratio(self) -> float:
        return self.growth_bytes_per_s / 2 / FRAME_BYTES_PER_SECOND


def channel_spans(frames: list[Frame]) -> dict[int, float]:
    spans: dict[int, float] = {}
    for frame in frames:
        spans[frame.tag] = spans.get(frame.tag, 0.0) + frame.count / RATE
    return spans


def measure(binary: str, env: dict, pause_s: float, reading_s: float = 3.0) -> BacklogRun:
    capture = Capture(binary, ["--mic", "--system"], env, keep_samples=False)
    capture.wait_ready()
    time.sleep(reading_s)
    before = memory_kib(capture.pid)["VmRSS"]
    capture.pause_reading()
    start = time.monotonic()
    points: list[tuple[float, int]] = []
    while time.monotonic() - start < pause_s:
        time.sleep(1.0)
        points.append((time.monotonic() - start, memory_kib(capture.pid)["VmRSS"]))
    capture.resume_reading()
    time.sleep(reading_s)
    after = memory_kib(capture.pid)["VmRSS"]
    status, _ = capture.stop()
    steady = [(t, kib) for t, kib in points if t >= SETTLE_SECONDS]
    growth = 1024 * stats.slope([t for t, _ in steady], [kib for _, kib in steady])
    spans = channel_spans(capture.frames)
    wall = (capture.stop_ns - capture.spawn_ns) / 1e9
    complete = status == 0 and capture.stream_error is None and set(spans) == {0, 1}
    return BacklogRun(pause_s, growth, before, max(kib for _, kib in points), after, spans, wall, complete,
                      capture.stream_error)
