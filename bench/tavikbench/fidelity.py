"""Timing fidelity and delivery latency, from one capture of the loop rig
while a click train plays: the same clicks reach both channels, so their
onsets show cross-channel alignment and its spread within the run; the
train's constant background shows every zero the timeline inserted while
audio flowed; the arrival time of every frame gives its delivery latency."""
from __future__ import annotations

import time
from dataclasses import dataclass

from . import clicks, probes, stats
from .capture import Capture
from .frames import RATE, Frame, channel_samples

SPACING = 4000  # samples between clicks: 250 ms
BACKGROUND = 300  # level between clicks, far below the onset threshold
TAGS = {0: "mic", 1: "system"}
LATE_STAMP = "behind its own timeline"
# The signal starts this long before tavikrec, so both channels hear it
# from their first block, and outlasts the capture by the margin.
LEAD_S = 0.3
MARGIN_S = 5.0


@dataclass
class ChannelTiming:
    clicks: int
    drift_ppm: float
    span_s: float
    fills: list[tuple[float, float]]  # (time s, length ms) of each zero run inserted while audio flowed
    latencies_ms: list[float]  # delivery latency of every frame


@dataclass
class FidelityRun:
    offsets_ms: list[float]  # mic − system onset time, one per click heard on both
    wall_s: float  # from spawn to the request to stop
    late_warnings: int  # late-stamp warnings on stderr
    channels: dict[str, ChannelTiming]

    @property
    def median_offset_ms(self) -> float:
        return stats.median(self.offsets_ms)

    @property
    def spread_ms(self) -> float:
        return max(self.offsets_ms) - min(self.offsets_ms)

    @property
    def false_fills(self) -> int:
        return sum(len(ch.fills) for ch in self.channels.values())


def delivery_latencies_ms(frames: list[Frame], spawn_ns: int) -> list[float]:
    """Arrival minus the capture time of each frame's last sample, taking
    the capture epoch to be the spawn instant (see docs/performance.md)."""
    return [(f.arrival_ns - spawn_ns) / 1e6 - (f.time + (f.count - 1) / RATE) * 1e3 for f in frames]


def onset_times(frames: list[Frame], tag: int) -> list[float]:
    first, samples = channel_samples(frames, tag)
    return [first + index / RATE for index in clicks.onsets(samples, SPACING)]


def _channel_timing(frames: list[Frame], tag: int, spawn_ns: int) -> ChannelTiming:
    times = onset_times(frames, tag)
    first, samples = channel_samples(frames, tag)
    fills = [(first + index / RATE, 1000 * length / RATE) for index, length in clicks.inserted_zero_runs(samples)]
    mine = [f for f in frames if f.tag == tag]
    return ChannelTiming(len(times), clicks.drift_ppm(times, SPACING), len(samples) / RATE, fills,
                         delivery_latencies_ms(mine, spawn_ns))


def measure(binary: str, env: dict, seconds: float) -> FidelityRun:
    train = clicks.click_train(LEAD_S + seconds + MARGIN_S, SPACING, lead_in=SPACING // 2, background=BACKGROUND)
    with probes.Player(train, "speakers", env):
        time.sleep(LEAD_S)
        capture = Capture(binary, ["--mic", "--system"], env)
        capture.wait_ready()
        time.sleep(seconds)
        status, _ = capture.stop()
    if status != 0 or capture.stream_error:
        raise RuntimeError(f"fidelity capture: status {status}, {capture.stream_error}, {capture.lines}")
    mic_onsets, system_onsets = onset_times(capture.frames, 0), onset_times(capture.frames, 1)
    offsets = [1000 * o for o in clicks.pair_offsets(mic_onsets, system_onsets, SPACING / RATE / 2)]
    return FidelityRun(offsets, (capture.stop_ns - capture.spawn_ns) / 1e9,
                       sum(LATE_STAMP in line for line in capture.lines),
                       {name: _channel_timing(capture.frames, tag, capture.spawn_ns) for tag, name in TAGS.items()})


@dataclass
class Summary:
    """The runs of one binary under one condition, judged as a whole."""
    runs: list[FidelityRun]
    failed: int = 0  # runs whose capture failed or whose stream was broken

    @property
    def total_runs(self) -> int:
        return len(self.runs) + self.failed

    @property
    def clean_runs(self) -> int:
        """Runs with no false fill and an offset spread of at most 1 ms."""
        return sum(run.false_fills == 0 and run.spread_ms <= 1.0 for run in self.runs)

    @property
    def medians_ms(self) -> list[float]:
        return [run.median_offset_ms for run in self.runs]

    @property
    def median_range_ms(self) -> float:
        return max(self.medians_ms) - min(self.medians_ms)

    def latency_ms(self, name: str) -> tuple[float, float]:
        """Median and p95 of the channel's frames over all runs."""
        pooled = [ms for run in self.runs for ms in run.channels[name].latencies_ms]
        return stats.median(pooled), stats.percentile(pooled, 0.95)
