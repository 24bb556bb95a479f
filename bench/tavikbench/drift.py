"""Drift: how each channel's timeline keeps time when a device's clock is
not the system's. The microphone is a pipe source that the bench feeds a
click train at a skewed pace; the output is a pipe sink that the bench
drains at a skewed pace while pacat plays a click train into it, so its
monitor runs at that pace too (see pacing.py). Each click's place on the
timeline, counted from the channel's first click, is compared with the time
that really passed on the monotonic clock: the number of clicks since the
first times the spacing at the device's real rate."""
from __future__ import annotations

import array
import contextlib
import math
import os
import re
import subprocess
import time
from dataclasses import dataclass

from . import clicks, probes, server as servers, stats
from .capture import Capture, monotonic_ns
from .fidelity import BACKGROUND, LATE_STAMP, SPACING, TAGS, onset_times
from .frames import RATE, channel_samples
from .pacing import Pace, PacedPipe

MARK_S = 10.0  # the error is reported at every multiple of this
SETTLE_S = 60.0  # the largest error is reported apart before and after
# A change larger than this from one click to the next is a step, not drift
# (1,000 ppm moves a click 0.25 ms from the one before).
STEP_MS = 1.0
# The devices run this long before tavikrec starts; the played signal
# outlasts the capture by the margin, start-up included.
LEAD_S = 0.5
MARGIN_S = 30.0
# The pipe sink renders 4096 bytes whenever its pipe has room; a pipe of two
# such blocks holds 128-256 ms, a device's buffer (a whole 64 KiB pipe would
# hold 2 s, which the sink reports as its latency).
SINK_PIPE_BYTES = 8192
# A resampled click rings, and the ringing lands on an exact zero now and
# then: single samples, sometimes two. Shorter runs than this are not zeros
# the timeline inserted (its fills are 30 ms and more, its padding whole
# stretches).
RESAMPLED_ZERO_SAMPLES = 4


@dataclass
class DriftChannel:
    errors: list[tuple[float, float]]  # per click: (true seconds since the first click, error ms)
    zero_runs: list[tuple[float, float]]  # (timeline s, length ms) of each run inserted inside the signal
    late_lines: int  # late-stamp lines on stderr for this channel
    notice_ppm: float | None = None  # the rate the correction engaged for (its stderr line), signed
    taken_ppm: float | None = None  # the pace the server read the microphone's FIFO at, during the capture
    exact: bool | None = None  # the microphone's samples are the fed ones, bit for bit

    @property
    def drift_after_ppm(self) -> float | None:
        """Slope of the error after SETTLE_S: what is left of the device's
        skew once a correction holds, so the correction in effect at the
        end is the skew less this."""
        late = [(t, e) for t, e in self.errors if t > SETTLE_S]
        if len(late) < 2:
            return None
        return stats.slope([t for t, _ in late], [e for _, e in late]) * 1e3

    @property
    def drift_ppm(self) -> float:
        """Slope of the error against true time over the longest stretch of
        clicks without a step: 0 on a timeline that keeps time, the device's
        skew on one that counts its samples. A step (a zero run, a stamp
        jump) is not drift, and a fit across it would mix the two."""
        stretches = [[self.errors[0]]]
        for before, point in zip(self.errors, self.errors[1:]):
            if abs(point[1] - before[1]) > STEP_MS:
                stretches.append([])
            stretches[-1].append(point)
        longest = max(stretches, key=len)
        if len(longest) < 2:  # nothing but steps
            longest = self.errors
        return stats.slope([t for t, _ in longest], [e for _, e in longest]) * 1e3

    def error_at(self, seconds: float) -> float | None:
        """The error of the click nearest `seconds` after the first, if one
        lies within half a spacing of it."""
        t, error = min(self.errors, key=lambda point: abs(point[0] - seconds))
        return error if abs(t - seconds) <= SPACING / RATE / 2 else None

    def worst_ms(self, after: bool) -> float | None:
        """Largest |error| in the first SETTLE_S seconds, or after them."""
        chosen = [abs(e) for t, e in self.errors if (t > SETTLE_S) == after]
        return max(chosen) if chosen else None

    @property
    def zero_ms(self) -> float:
        return sum(ms for _, ms in self.zero_runs)


@dataclass
class DriftRun:
    server: str
    ppm: float
    channels: dict[str, DriftChannel]
    pacing: dict[str, tuple[float, float]]  # per FIFO the bench paced: worst wake-up lateness, worst shortfall (ms)


def click_errors(times: list[float], ppm: float) -> list[tuple[float, float]]:
    """(true seconds since the first click, timeline minus true time in ms)
    for each onset time on a channel whose device runs `ppm` fast."""
    period = SPACING / RATE / (1 + ppm / 1e6)
    numbers = clicks.click_numbers(times, period)
    return [(k * period, 1e3 * ((t - times[0]) - k * period)) for k, t in zip(numbers, times)]


NOTICE = re.compile(r"(mic|system) clock runs (\d+) ppm (fast|slow); resampling to keep time")


def notice_ppm(lines: list[str], name: str) -> float | None:
    """The signed rate of the channel's last "resampling to keep time" line."""
    found = None
    for line in lines:
        match = NOTICE.search(line)
        if match and match.group(1) == name:
            found = float(match.group(2)) * (1 if match.group(3) == "fast" else -1)
    return found


def fed_exactly(samples, pattern: bytes) -> bool:
    """The samples from the first click on repeat `pattern` bit for bit (the
    last few, cut by the stop, may be missing)."""
    period = array.array("h", pattern)
    level = clicks.CLICK_LEVEL
    click = next(i for i, v in enumerate(period) if v == level and period[i - 1] != level)
    start = next((i for i in range(1, len(samples)) if samples[i] == level and samples[i - 1] != level), None)
    if start is None:  # no click came through unchanged
        return False
    return all(samples[start + i] == period[(click + i) % len(period)] for i in range(len(samples) - start))


def analyse(frames, tag: int, ppm: float, lines: list[str], pattern: bytes | None = None) -> DriftChannel:
    first, samples = channel_samples(frames, tag)
    # A click cut by the channel's start would be found where the channel starts.
    times = [t for t in onset_times(frames, tag) if t >= first + clicks.CLICK_SAMPLES / RATE]
    if len(times) < 2:
        raise RuntimeError(f"channel {tag}: {len(times)} clicks heard")
    runs = [(first + index / RATE, 1e3 * length / RATE) for index, length in clicks.inserted_zero_runs(samples)
            if length >= RESAMPLED_ZERO_SAMPLES]
    late = sum(LATE_STAMP in line and f"channel {tag} " in line for line in lines)
    return DriftChannel(click_errors(times, ppm), runs, late, notice_ppm=notice_ppm(lines, TAGS[tag]),
                        exact=fed_exactly(samples, pattern) if pattern else None)


def one_period() -> bytes:
    """One spacing of the click train, which the microphone's feed repeats."""
    return clicks.click_train(SPACING / RATE, SPACING, lead_in=0, background=BACKGROUND)


def measure_pulseaudio(binary: str, server, ppm: float, seconds: float, still_ms: float = 0) -> DriftRun:
    """Both devices `ppm` off on the drift rig; `tavikrec --mic --system`.
    With `still_ms`, both stand still that long once, a minute in."""
    pace = Pace(monotonic_ns(), ppm, still_at_ns=60 * 10**9, still_ns=int(still_ms * 1e6))
    train = clicks.click_train(LEAD_S + seconds + MARGIN_S, SPACING, lead_in=SPACING // 2, background=BACKGROUND)
    with PacedPipe(os.path.join(server.root, "mic.fifo"), pace, one_period()) as mic, \
            PacedPipe(os.path.join(server.root, "speakers.fifo"), pace, pipe_bytes=SINK_PIPE_BYTES) as speakers, \
            probes.Player(train, "speakers", server.env):
        before = mic.taken()
        capture = _capture(binary, ["--mic", "--system"], server.env, seconds)
        after = mic.taken()
    run = _run(server.describe(), ppm, capture, ["mic", "system"], {"mic": mic, "system": speakers})
    run.channels["mic"].taken_ppm = taken_ppm(before, after)
    return run


@contextlib.contextmanager
def skewed_devices(server, ppm: float, seconds: float):
    """Both devices of the PulseAudio drift rig `ppm` off, the click trains
    playing, for about `seconds`: for measuring what else runs meanwhile."""
    pace = Pace(monotonic_ns(), ppm)
    train = clicks.click_train(seconds + MARGIN_S, SPACING, lead_in=SPACING // 2, background=BACKGROUND)
    with PacedPipe(os.path.join(server.root, "mic.fifo"), pace, one_period()), \
            PacedPipe(os.path.join(server.root, "speakers.fifo"), pace, pipe_bytes=SINK_PIPE_BYTES), \
            probes.Player(train, "speakers", server.env):
        time.sleep(LEAD_S)
        yield


def measure_microphone(binary: str, server: servers.PipeWireServer, ppm: float, seconds: float,
                       skewed_source: str) -> DriftRun:
    """The microphone alone (`tavikrec --mic`), `ppm` off. PipeWire reads a
    pipe source at its graph's pace, not the writer's, so here the
    microphone is skewed_source (tests/support/skewed_source.cc): a node
    that drives its graph at the device's pace, playing the click train's
    period over and over. It is started for this run and stopped after it,
    so no audio left in the server carries over to the next run."""
    loop = os.path.join(server.root, "mic.s16le")
    with open(loop, "wb") as f:
        f.write(one_period())
    log = os.path.join(server.root, "skewed_source.err")
    with open(log, "w") as err:
        node = subprocess.Popen([skewed_source, "mic", str(ppm), loop], env=server.tool_env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=err, text=True)
    try:
        if node.stdout.readline() != "ready\n":
            raise RuntimeError(f"skewed_source did not come up: {open(log).read()}")
        server.wait_until("skewed_source's node", lambda: "\tmic\t" in server.pactl("list", "short", "sources").stdout)
        server.set_default_source("mic")
        capture = _capture(binary, ["--mic"], server.env, seconds)
    finally:
        node.terminate()
        node.wait()
    return _run(server.describe(), ppm, capture, ["mic"], {})


def taken_ppm(before: tuple[int, int], after: tuple[int, int]) -> float:
    """The pace between two PacedPipe.taken() readings, in ppm off 16 kHz."""
    seconds = (after[0] - before[0]) / 1e9
    return ((after[1] - before[1]) / 2 / seconds / RATE - 1) * 1e6


def _capture(binary: str, args: list[str], env: dict, seconds: float) -> Capture:
    time.sleep(LEAD_S)
    capture = Capture(binary, args, env)
    try:
        capture.wait_ready()
    except RuntimeError:
        capture.stop()
        raise
    time.sleep(seconds)
    status, _ = capture.stop()
    if status != 0 or capture.stream_error:
        raise RuntimeError(f"drift capture: status {status}, {capture.stream_error}, {capture.lines}")
    return capture


def _run(server: str, ppm: float, capture: Capture, names: list[str], pipes: dict[str, PacedPipe]) -> DriftRun:
    for name, pipe in pipes.items():
        if pipe.error:
            raise RuntimeError(f"{name} FIFO: {pipe.error}")
    channels = {name: analyse(capture.frames, tag, ppm, capture.lines, one_period() if name == "mic" else None)
                for tag, name in TAGS.items() if name in names}
    return DriftRun(server, ppm, channels, {name: (p.worst_late_ms, p.worst_behind_ms) for name, p in pipes.items()})


@dataclass
class Group:
    """The runs of one server and one skew."""
    runs: list[DriftRun]
    failed: int = 0  # runs whose capture failed or whose stream was broken

    def values(self, name: str, pick) -> list[float]:
        """pick(channel) over the runs, leaving out what a run lacks."""
        return [v for v in (pick(run.channels[name]) for run in self.runs) if v is not None]


TONE_HZ = 1000.0
TONE_LEVEL = 16384  # -6 dBFS
THD_WINDOW = 4000  # samples a tone is fitted over: 0.25 s


def one_tone_period() -> bytes:
    """One period of a 1 kHz tone at 16 kHz (16 samples), which the
    microphone's feed repeats."""
    samples = array.array("h", (round(TONE_LEVEL * math.sin(2 * math.pi * TONE_HZ * i / RATE))
                                for i in range(int(RATE / TONE_HZ))))
    return samples.tobytes()


def _tone_residual(window, frequency: float) -> tuple[float, float]:
    """Least squares of a sine at `frequency` plus an offset over `window`:
    (power of the fitted tone, power of what is left), per sample."""
    n = len(window)
    w = 2 * math.pi * frequency / RATE
    s = [math.sin(w * i) for i in range(n)]
    c = [math.cos(w * i) for i in range(n)]
    # Normal equations of [sin, cos, 1]: solved directly (3 × 3).
    ss = sum(v * v for v in s); cc = sum(v * v for v in c); sc = sum(a * b for a, b in zip(s, c))
    s1 = sum(s); c1 = sum(c)
    ys = sum(a * b for a, b in zip(window, s)); yc = sum(a * b for a, b in zip(window, c)); y1 = sum(window)
    matrix = [[ss, sc, s1], [sc, cc, c1], [s1, c1, float(n)]]
    a, b, k = _solve3(matrix, [ys, yc, y1])
    tone = (a * a + b * b) / 2
    left = sum((y - a * si - b * ci - k) ** 2 for y, si, ci in zip(window, s, c)) / n
    return tone, left


def _solve3(m: list[list[float]], v: list[float]) -> list[float]:
    def det(x):
        return (x[0][0] * (x[1][1] * x[2][2] - x[1][2] * x[2][1]) - x[0][1] * (x[1][0] * x[2][2] - x[1][2] * x[2][0])
                + x[0][2] * (x[1][0] * x[2][1] - x[1][1] * x[2][0]))
    d = det(m)
    return [det([[v[r] if col == j else m[r][col] for col in range(3)] for r in range(3)]) / d for j in range(3)]


def thd_n_db(samples, expected_hz: float) -> float:
    """THD+N of a tone: per 0.25 s window the frequency that leaves the
    least (parabolas through three tries, narrowing, around the last
    window's), then everything that is not the tone against the tone, over
    all windows."""
    frequency, tone_sum, left_sum = expected_hz, 0.0, 0.0
    first_step = 1.0  # Hz: the first window searches wider
    for start in range(0, len(samples) - THD_WINDOW + 1, THD_WINDOW):
        window = samples[start:start + THD_WINDOW]
        step = first_step
        while step > 0.001:
            left = [_tone_residual(window, frequency + k * step)[1] for k in (-1, 0, 1)]
            curve = left[0] - 2 * left[1] + left[2]
            if curve > 0:
                frequency += max(-step, min(step, step * (left[0] - left[2]) / (2 * curve)))
            step /= 4
        first_step = 0.02
        tone, rest = _tone_residual(window, frequency)
        tone_sum += tone
        left_sum += rest
    return 10 * math.log10(left_sum / tone_sum)


def measure_tone(binary: str, server, ppm: float, seconds: float) -> tuple[float, str | None]:
    """THD+N (dB) of the microphone channel's second half when the
    microphone hears a 1 kHz tone and runs `ppm` fast; with the
    correction's line, if one came."""
    with PacedPipe(os.path.join(server.root, "mic.fifo"), Pace(monotonic_ns(), ppm), one_tone_period()) as mic:
        capture = _capture(binary, ["--mic"], server.env, seconds)
    if mic.error:
        raise RuntimeError(f"mic FIFO: {mic.error}")
    _, samples = channel_samples(capture.frames, 0)
    half = samples[len(samples) // 2:]
    notice = next((line for line in capture.lines if NOTICE.search(line)), None)
    return thd_n_db(half, TONE_HZ * (1 + ppm / 1e6)), notice
