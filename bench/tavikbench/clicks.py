"""Click train: the test signal of the timing-fidelity run, and the onset
finder that locates each click to the sample in a captured channel."""
from __future__ import annotations

import array
import sys

from . import stats

RATE = 16000
CLICK_LEVEL = 20000
CLICK_SAMPLES = 4
THRESHOLD = CLICK_LEVEL // 2


def click_train(seconds: float, spacing: int, lead_in: int = RATE // 2, background: int = 0) -> bytes:
    """s16le mono 16 kHz: a short click every `spacing` samples after
    `lead_in`, over a constant `background` level. A background that is not
    zero shows every zero the timeline inserts while the signal plays."""
    total = int(seconds * RATE)
    samples = array.array("h", [background]) * total
    for start in range(lead_in, total - CLICK_SAMPLES, spacing):
        for i in range(CLICK_SAMPLES):
            samples[start + i] = CLICK_LEVEL
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def onsets(samples: array.array, spacing: int) -> list[int]:
    """Index of the first sample of each click: the first sample over the
    threshold after at least half a spacing below it."""
    found: list[int] = []
    quiet_needed = spacing // 2
    last_loud = -quiet_needed
    for index, value in enumerate(samples):
        if abs(value) >= THRESHOLD:
            if index - last_loud >= quiet_needed:
                found.append(index)
            last_loud = index
    return found


def pair_offsets(mic: list[float], system: list[float], window: float) -> list[float]:
    """mic − system, in seconds, for every mic onset that has a system onset
    within `window` seconds (both lists ascending)."""
    offsets = []
    j = 0
    for t in mic:
        while j + 1 < len(system) and abs(system[j + 1] - t) <= abs(system[j] - t):
            j += 1
        if system and abs(system[j] - t) <= window:
            offsets.append(t - system[j])
    return offsets


def click_numbers(times: list[float], period: float) -> list[int]:
    """Numbers the onsets from the first: each by the nearest whole number
    of periods after the one before, so a missed click leaves a gap in the
    numbers and a drift that builds past half a period over a long run
    does not shift them."""
    numbers = [0]
    for before, t in zip(times, times[1:]):
        numbers.append(numbers[-1] + round((t - before) / period))
    return numbers


def drift_ppm(times: list[float], spacing: int) -> float:
    """How far the onset spacing on the timeline departs from the played
    spacing, in parts per million. Onsets are numbered by click_numbers, so
    a missed click does not skew the fit."""
    period = spacing / RATE
    return (stats.slope(click_numbers(times, period), times) / period - 1.0) * 1e6


def inserted_zero_runs(samples: array.array) -> list[tuple[int, int]]:
    """(index, length) of every run of zeros between the first and the last
    sample that is not zero. When the played signal has no zero sample,
    these are zeros the timeline inserted while audio was flowing. Zeros
    before the first sound (the channel started before the signal reached
    it) and after the last one (the stop) do not count."""
    runs = []
    start = None
    seen_sound = False
    for index, value in enumerate(samples):
        if value == 0:
            if seen_sound and start is None:
                start = index
        else:
            if start is not None:
                runs.append((start, index - start))
                start = None
            seen_sound = True
    return runs
