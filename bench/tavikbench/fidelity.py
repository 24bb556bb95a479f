"""Timing fidelity and delivery latency, from one capture of the loop rig
while a click train plays: the same clicks reach both channels, so their
onsets show cross-channel alignment, drift and span against wall time; the
arrival time of every frame gives its delivery latency."""
from __future__ import annotations

import threading
import time
from dataclasses import dataclass

from . import clicks, probes, server, stats
from .capture import Capture
from .frames import RATE, Frame, channel_samples

SPACING = 4000  # samples between clicks: 250 ms
TAGS = {0: "mic", 1: "system"}


@dataclass
class ChannelTiming:
    clicks: int
    drift_ppm: float
    span_s: float
    latency_median_ms: float
    latency_p95_ms: float
    latency_max_ms: float


@dataclass
class FidelityRun:
    predicted_offset_ms: float  # mic − system, from the server's latency reports
    offsets_ms: list[float]  # mic − system onset time, one per click heard on both
    wall_s: float  # from spawn to the request to stop
    channels: dict[str, ChannelTiming]

    @property
    def median_offset_ms(self) -> float:
        return stats.median(self.offsets_ms)

    @property
    def spread_ms(self) -> float:
        return max(self.offsets_ms) - min(self.offsets_ms)

    @property
    def error_ms(self) -> float:
        return self.median_offset_ms - self.predicted_offset_ms


def delivery_latencies_ms(frames: list[Frame], spawn_ns: int) -> list[float]:
    """Arrival minus the capture time of each frame's last sample, taking
    the capture epoch to be the spawn instant (see docs/performance.md)."""
    return [(f.arrival_ns - spawn_ns) / 1e6 - (f.time + (f.count - 1) / RATE) * 1e3 for f in frames]


def onset_times(frames: list[Frame], tag: int) -> list[float]:
    first, samples = channel_samples(frames, tag)
    return [first + index / RATE for index in clicks.onsets(samples, SPACING)]


def predicted_offset_ms(mic_usec: list[int], monitor_usec: list[int]) -> float:
    """A stamp is arrival minus stream latency, and the remapped source hands
    on each monitor fragment as it gets it, so for the same sound the mic's
    stamp lies (monitor latency − mic latency) from the system's."""
    return (stats.median(monitor_usec) - stats.median(mic_usec)) / 1000


def _channel_timing(frames: list[Frame], tag: int, spawn_ns: int) -> ChannelTiming:
    mine = [f for f in frames if f.tag == tag]
    times = onset_times(frames, tag)
    latencies = delivery_latencies_ms(mine, spawn_ns)
    return ChannelTiming(len(times), clicks.drift_ppm(times, SPACING), sum(f.count for f in mine) / RATE,
                         stats.median(latencies), stats.percentile(latencies, 0.95), max(latencies))


class _LatencyProbe:
    """`parecord -v` on one source, its verbose report collected."""

    def __init__(self, device: str, env: dict) -> None:
        self.process = probes.start_parecord(device, env, verbose=True)
        self.report = b""
        self._threads = [threading.Thread(target=self._discard), threading.Thread(target=self._collect)]
        for thread in self._threads:
            thread.start()

    def _discard(self) -> None:
        while self.process.stdout.read1(1 << 16):
            pass

    def _collect(self) -> None:
        self.report = self.process.stderr.read()

    def stop(self) -> list[int]:
        probes.stop_parecord(self.process)
        for thread in self._threads:
            thread.join()
        return probes.latencies_usec(self.report)


def measure(binary: str, env: dict, seconds: float) -> FidelityRun:
    mic_probe, monitor_probe = _LatencyProbe(server.MIC, env), _LatencyProbe(server.MONITOR, env)
    try:
        capture = Capture(binary, ["--mic", "--system"], env)
        capture.wait_ready()
        probes.play(clicks.click_train(seconds, SPACING), "speakers", env)
        time.sleep(0.5)
        status, _ = capture.stop()
    finally:
        mic_usec, monitor_usec = mic_probe.stop(), monitor_probe.stop()
    if status != 0 or capture.stream_error:
        raise RuntimeError(f"fidelity capture: status {status}, {capture.stream_error}, {capture.lines}")
    mic_onsets, system_onsets = onset_times(capture.frames, 0), onset_times(capture.frames, 1)
    offsets = [1000 * o for o in clicks.pair_offsets(mic_onsets, system_onsets, SPACING / RATE / 2)]
    return FidelityRun(predicted_offset_ms(mic_usec, monitor_usec), offsets,
                       (capture.stop_ns - capture.spawn_ns) / 1e9,
                       {name: _channel_timing(capture.frames, tag, capture.spawn_ns) for tag, name in TAGS.items()})
