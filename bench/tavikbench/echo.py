"""Echo: what `--cancel-echo` takes out of the microphone channel and what it
leaves of the near end. The default output plays far-end speech (pacat);
the microphone is a pipe source that the bench writes in real time with that
far end's echo (a main path D ms after the output played it on the shared
timeline, at -3 or 0 dB, and three weaker reflections) plus near-end speech
(on PipeWire 1.4, pw-cat plays the same stream into a virtual source).
Since the bench knows the echo and the near end apart, it can say of channel
0 how much echo is left and what became of the near end.

Placing the echo on the timeline: a single-sample marker in the far end
(channel 1) and one in the microphone (channel 0), read back from tavikrec's
own frames while it runs, give the offset between the two channels'
timelines; from then on microphone sample m carries the far end's sample
whose place on the timeline lies D ms before m's. So D is exact on the
timeline the canceller works on, down to 3 ms, which an echo made of a live
recording of the monitor could not reach (the recording itself arrives tens
of milliseconds late). The echo is made of the played samples themselves,
which are what the monitor carries (bit for bit on PulseAudio).

The scene, in seconds from the start of the far end's speech: far end alone
0-10, double talk 10-18, near end alone 18-24, far end alone 24-32."""
from __future__ import annotations

import array
import contextlib
import fcntl
import math
import os
import struct
import subprocess
import sys
import tempfile
import termios
import time
from dataclasses import dataclass

from . import probes, server as servers
from .capture import Capture, monotonic_ns
from .frames import RATE, channel_samples
from .pacing import BYTES_PER_SAMPLE, Pace, PacedPipe


@dataclass(frozen=True)
class Scene:
    """Where each voice speaks, in seconds from the start of the far end's
    speech, and how long the scene lasts."""
    far: tuple[tuple[float, float], ...]
    near: tuple[tuple[float, float], ...]
    seconds: float


CONVERSATION = Scene(far=((0.0, 18.0), (24.0, 32.0)), near=((10.0, 24.0),), seconds=32.0)
# Where each figure is taken (scene seconds). The near end alone starts
# half a second late: the echo of the far end's last syllable ends there.
WINDOWS = {
    "far first 3 s": (0.0, 3.0),
    "far after": (3.0, 10.0),
    "double talk": (10.0, 18.0),
    "near alone": (18.5, 24.0),
    "far again first 2 s": (24.0, 26.0),
    "far again after": (26.0, 32.0),
}
ERLE_WINDOWS = ("far first 3 s", "far after", "far again first 2 s", "far again after")
# Reflections after the main echo: (ms after it, dB against it).
REFLECTIONS = ((7.0, -9.0), (19.0, -14.0), (31.0, -20.0))
SPEECH_PEAK = 8000  # -12 dBFS: echo, reflections and near end together never clip
MARKER = 20000
# The far end's track: its marker, then its speech LEAD_S in; the microphone's
# marker follows the far end's start by NEAR_MARKER_S. Both must be read back
# before the speech's echo is due.
FAR_MARKER_S = 0.2
NEAR_MARKER_S = 0.8
LEAD_S = 2.5
TAIL_S = 0.5
# The microphone's FIFO is kept this far ahead of the pace: PipeWire reads
# it at its graph's pace and would find it empty now and then.
PREFILL_MS = 60
MARKER_TIMEOUT_S = 1.6
DELAY_SEARCH_MS = 5.0  # the echo's measured place is sought this far around D
ALIGN_SAMPLES = 4  # channel 0's alignment is refined by up to this many samples

FAR_TEXT = ("The quarterly report is due on Friday, so please send me your figures before noon. "
            "We will go through the budget line by line, starting with travel and equipment. "
            "If anything is missing, the finance team will ask for it again next week. "
            "After that we can plan the launch, the training and the support rota for the summer.")
NEAR_TEXT = ("Sorry, I could not hear you, the line keeps breaking up. "
             "Could you say the last part again, a little more slowly? "
             "I think the figures are fine, but I want to check the travel costs first.")


# --- The metrics (pure; bench/tests checks them on synthetic signals) ---

def energy(samples) -> float:
    return float(sum(v * v for v in samples))


def ratio_db(numerator: float, denominator: float) -> float:
    """10 log10 of an energy ratio; +inf when nothing is left, -inf when
    there was nothing to begin with."""
    if denominator <= 0:
        return math.inf
    if numerator <= 0:
        return -math.inf
    return 10 * math.log10(numerator / denominator)


def erle_db(echo, output) -> float:
    """Echo return loss enhancement over a stretch without near end: the
    echo that went in against what came out."""
    return ratio_db(energy(echo), energy(output))


def gain_fit(output, near, echo) -> tuple[float, float]:
    """Double talk: the least-squares gain g of the output onto the near end
    (dB), and the echo that went in against what the fit leaves (output - g
    near), in dB: the echo reduction with the near end present."""
    cross = sum(o * n for o, n in zip(output, near))
    power = energy(near)
    g = cross / power
    left = sum((o - g * n) ** 2 for o, n in zip(output, near))
    return (20 * math.log10(g) if g > 0 else -math.inf), ratio_db(energy(echo), left)


# The near end's shaping a fit allows: taps from SHAPE_AHEAD samples ahead
# to SHAPE_TAPS - SHAPE_AHEAD behind. speexdsp's canceller filters the near
# end itself (a notch at DC); a fit through these taps leaves -35 dB of a
# near end it passed alone, where a gain alone leaves -14 dB.
SHAPE_AHEAD = 8
SHAPE_TAPS = 64


def shaped_fit(output, near, echo) -> float:
    """Double talk: the echo that went in against what is left of the output
    once the near end is fitted through a short filter (least squares),
    in dB: the echo reduction, not charged with the canceller's own shaping
    of the near end."""
    n = len(near)
    lags = range(-SHAPE_AHEAD, SHAPE_TAPS - SHAPE_AHEAD)

    def shifted(k):  # near delayed by k samples, zeros beyond its ends
        return [0.0] * k + list(near[:n - k]) if k >= 0 else list(near[-k:]) + [0.0] * -k

    columns = [shifted(k) for k in lags]
    auto = [sum(a * b for a, b in zip(near, shifted(d))) for d in range(SHAPE_TAPS)]
    matrix = [[auto[abs(i - j)] for j in range(SHAPE_TAPS)] + [sum(o * c for o, c in zip(output, columns[i]))]
              for i in range(SHAPE_TAPS)]
    for c in range(SHAPE_TAPS):  # Gauss-Jordan; the matrix is symmetric positive definite
        pivot = matrix[c][c]
        for r in range(SHAPE_TAPS):
            if r != c and matrix[r][c]:
                f = matrix[r][c] / pivot
                matrix[r] = [x - f * y for x, y in zip(matrix[r], matrix[c])]
    taps = [matrix[i][SHAPE_TAPS] / matrix[i][i] for i in range(SHAPE_TAPS)]
    fit = [0.0] * n
    for tap, column in zip(taps, columns):
        fit = [f + tap * c for f, c in zip(fit, column)]
    return ratio_db(energy(echo), sum((o - f) ** 2 for o, f in zip(output, fit)))


def best_lag(signal, reference, lags, start: int, stop: int) -> int:
    """The lag L among `lags` at which signal[i + L] matches reference[i]
    best (largest correlation) for i in [start, stop)."""
    def correlation(lag):
        return sum(signal[i + lag] * reference[i] for i in range(start, stop))
    return max(lags, key=correlation)


def echo_of(far, delay: int, gain_db: float) -> list[float]:
    """The far end's echo: `far` `delay` samples late at `gain_db`, and the
    REFLECTIONS after it."""
    taps = [(delay, 10 ** (gain_db / 20))]
    taps += [(delay + round(ms * RATE / 1000), 10 ** ((gain_db + db) / 20)) for ms, db in REFLECTIONS]
    out = [0.0] * len(far)
    for lag, gain in taps:
        for i in range(lag, len(far)):
            out[i] += gain * far[i - lag]
    return out


def marker_index(samples, start: int = 0) -> int | None:
    """The sample of a single-sample marker: the largest |value| within 16
    samples of the first over half the marker level (a resampled marker
    rings around its place)."""
    for i in range(start, len(samples)):
        if abs(samples[i]) >= MARKER // 2:
            return max(range(max(0, i - 16), min(len(samples), i + 16)), key=lambda k: abs(samples[k]))
    return None


# --- The signals ---

@dataclass
class Speech:
    far: array.array  # the far end's speech, SPEECH_PEAK at its loudest
    near: array.array


def make_speech(directory: str, scene: Scene = CONVERSATION) -> Speech:
    """espeak-ng, two voices, resampled to 16 kHz by sox, each long enough
    for its part of the scene (repeated as often as that takes)."""
    def speak(text: str, voice: str, name: str, seconds: float) -> array.array:
        wav, raw = os.path.join(directory, name + ".wav"), os.path.join(directory, name + ".raw")
        subprocess.run(["espeak-ng", "-v", voice, "-s", "150", "-w", wav, text], check=True, capture_output=True)
        subprocess.run(["sox", wav, "-r", str(RATE), "-c", "1", "-b", "16", "-e", "signed-integer", "-t", "raw",
                        raw], check=True, capture_output=True)
        samples = array.array("h")
        with open(raw, "rb") as f:
            samples.frombytes(f.read())
        if sys.byteorder != "little":
            samples.byteswap()
        while len(samples) < seconds * RATE:
            samples += samples
        peak = max(abs(v) for v in samples)
        return array.array("h", (round(v * SPEECH_PEAK / peak) for v in samples[:int(seconds * RATE)]))
    far_s = sum(b - a for a, b in scene.far)
    near_s = sum(b - a for a, b in scene.near)
    return Speech(speak(FAR_TEXT, "en-us", "far", far_s), speak(NEAR_TEXT, "en+f3", "near", near_s))


@dataclass
class Tracks:
    """Everything but `mic` on the far end's sample grid: index 0 is the
    first sample pacat plays, the speech starts at `start`. `mic` lies on
    the microphone's grid, which is the far end's unless the microphone's
    clock runs `mic_ppm` fast (see echo_drift)."""
    far: array.array  # what the output plays: the marker, then the speech
    near: list[int]  # the near end as written into the microphone
    echo: list[float]  # the echo as written (before rounding)
    mic: bytes  # near + echo, rounded, s16le: what the microphone carries
    start: int
    marker: int
    delay: int  # samples
    mic_ppm: float = 0.0

    def on_mic_grid(self, index: float) -> float:
        """The microphone sample taken at far-grid index `index`."""
        return index * (1 + self.mic_ppm / 1e6)

    def window(self, name: str) -> tuple[int, int]:
        a, b = WINDOWS[name]
        return self.start + round(a * RATE), self.start + round(b * RATE)


def _place(parts: tuple[tuple[float, float], ...], speech: array.array, length: int, start: int) -> list[int]:
    out = [0] * length
    taken = 0
    for a, b in parts:
        n = round((b - a) * RATE)
        at = start + round(a * RATE)
        out[at:at + n] = speech[taken:taken + n]
        taken += n
    return out


def make_tracks(speech: Speech, delay_ms: float, gain_db: float, scene: Scene = CONVERSATION) -> Tracks:
    start = round(LEAD_S * RATE)
    length = start + round((scene.seconds + TAIL_S) * RATE)
    far_speech = _place(scene.far, speech.far, length, start)
    near = _place(scene.near, speech.near, length, start)
    delay = round(delay_ms * RATE / 1000)
    echo = echo_of(far_speech, delay, gain_db)
    mic = array.array("h", (round(n + e) for n, e in zip(near, echo)))  # raises OverflowError rather than clip
    marker = round(FAR_MARKER_S * RATE)
    far = array.array("h", far_speech)
    far[marker] = MARKER
    if sys.byteorder != "little":
        far.byteswap()
        mic.byteswap()
    return Tracks(far, near, echo, mic.tobytes(), start, marker, delay)


@dataclass(frozen=True)
class AheadPace(Pace):
    """A pace whose writer keeps `ahead` samples more than is due."""
    ahead: int = 0

    def samples_due(self, now_ns: int) -> int:
        return super().samples_due(now_ns) + self.ahead


class EchoMicrophone(PacedPipe):
    """The pipe source's FIFO, written at 16 kHz: silence and, when asked,
    a marker; once armed with the offset between the microphone's samples
    and the track's, the track. With `ppm` the microphone's clock runs that
    fast (PulseAudio's pipe source reads at the writer's pace)."""

    def __init__(self, path: str, track: bytes, ppm: float = 0.0) -> None:
        super().__init__(path, AheadPace(monotonic_ns(), ppm, ahead=PREFILL_MS * RATE // 1000), pattern=b"\0\0")
        self.path = path
        self.track = track
        self.most_held_ms = 0.0  # the most the FIFO held after drain(), when looked at
        self.marker_at: int | None = None  # microphone sample
        self.shift: int | None = None  # track sample - microphone sample, once armed
        self.armed_at: int | None = None  # the first microphone sample written armed

    @property
    def written(self) -> int:
        return self.done_bytes // BYTES_PER_SAMPLE

    def held_ms(self) -> float:
        """What the FIFO holds now, in ms of audio."""
        unread = struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0\0\0\0"))[0]
        return unread / BYTES_PER_SAMPLE / RATE * 1e3

    def drain(self) -> None:
        """Drops what the FIFO holds beyond the PREFILL_MS ahead: PipeWire
        reads a pipe source only while a client records it, and what piled
        up before (or was left by the run before) would delay the microphone
        by as much. Call it before the marker: only silence goes."""
        reader = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            excess = round((self.held_ms() - PREFILL_MS) * RATE / 1e3) * BYTES_PER_SAMPLE
            dropped = 0
            # Whole samples only: the server reads whole samples too.
            while dropped < excess or dropped % BYTES_PER_SAMPLE:
                try:
                    got = os.read(reader, max(excess - dropped, dropped % BYTES_PER_SAMPLE))
                except BlockingIOError:
                    got = b""
                if not got:
                    if dropped % BYTES_PER_SAMPLE == 0:
                        break
                    time.sleep(0.001)  # the writer brings the rest of the sample
                dropped += len(got)
        finally:
            os.close(reader)

    def look(self) -> None:
        self.most_held_ms = max(self.most_held_ms, self.held_ms())

    def _content(self, first: int, count: int) -> bytes:
        shift = self.shift
        if shift is None:
            out = bytearray(count * BYTES_PER_SAMPLE)
            if self.marker_at is not None and first <= self.marker_at < first + count:
                at = (self.marker_at - first) * BYTES_PER_SAMPLE
                out[at:at + 2] = MARKER.to_bytes(2, "little", signed=True)
            return bytes(out)
        if self.armed_at is None:
            self.armed_at = first
        begin = (first + shift) * BYTES_PER_SAMPLE
        piece = self.track[max(0, begin):max(0, begin + count * BYTES_PER_SAMPLE)]
        return piece + bytes(count * BYTES_PER_SAMPLE - len(piece))

    def _move(self, count: int) -> bool:
        first, skip = divmod(self.done_bytes, BYTES_PER_SAMPLE)
        data = self._content(first, (skip + count + 1) // BYTES_PER_SAMPLE)[skip:skip + count]
        try:
            moved = os.write(self.fd, data)
        except BlockingIOError:
            return False
        self.done_bytes += moved
        return moved > 0


# --- One run ---

@dataclass
class EchoRun:
    server: str
    delay_ms: float
    gain_db: float
    cancel: bool
    erle_db: dict[str, float]  # per ERLE window
    near_change_db: float  # near end alone: out against in
    double_gain_db: float  # double talk: least-squares gain onto the near end
    double_reduction_db: float  # double talk: echo in against what the fit leaves
    double_reduction_shaped_db: float  # the same, the near end fitted through a short filter (shaped_fit)
    measured_delay_ms: float | None  # where the echo sits against channel 1 (runs without the canceller)
    align_samples: int  # refinement of channel 0's alignment from the markers
    exact: bool | None  # channel 0 is the microphone bit for bit (without the canceller)
    pacing: tuple[float, float]  # the microphone's FIFO: latest wake-up, most behind (ms)
    held_ms: float = 0.0  # the most the microphone's FIFO held during the scene


def _watch_markers(capture: Capture, near_after: int, deadline: float) -> tuple[int, int]:
    """Reads tavikrec's frames as they arrive until both markers are found:
    (sample index in channel 0, in channel 1)."""
    seen = 0
    samples = {0: array.array("h"), 1: array.array("h")}
    scanned = {0: near_after, 1: 0}
    found: dict[int, int] = {}
    while time.monotonic() < deadline:
        frames = capture.frames[seen:]
        seen += len(frames)
        for frame in frames:
            samples[frame.tag].extend(frame.samples)
        for tag in (0, 1):
            if tag in found:
                continue
            index = marker_index(samples[tag], scanned[tag])
            # The marker must be whole: ringing after it may still be on its way.
            if index is not None and index + 16 < len(samples[tag]):
                found[tag] = index
            elif index is None:
                scanned[tag] = max(scanned[tag], len(samples[tag]) - 16)
        if len(found) == 2:
            return found[0], found[1]
        time.sleep(0.02)
    raise RuntimeError(f"markers not read back in time (found {sorted(found)})")


@contextlib.contextmanager
def _microphone(server, track: bytes, ppm: float = 0.0):
    """The microphone's FIFO, written by EchoMicrophone. On PulseAudio and
    PipeWire 0.3 a pipe source reads it (0.3 at its graph's pace). PipeWire
    1.4's pipe source matches its rate to the writer's (a ring buffer and a
    rate loop), so there pw-cat reads the FIFO, for this run alone, into
    the virtual source "mic", linked by hand, in a graph held at 16 kHz
    (see PipeWireEchoRig)."""
    fifo = os.path.join(server.root, "mic.fifo")
    if getattr(server, "version", None) != "1.4":
        with EchoMicrophone(fifo, track, ppm) as mic:
            yield mic
        return
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    keeper = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)  # no end of file before the microphone opens it
    os.set_blocking(reader, True)
    player = subprocess.Popen(["pw-cat", "--playback", "--raw", "--format", "s16", "--rate", str(RATE),
                               "--channels", "1", "--latency", "40ms",
                               "--properties", "{ node.autoconnect = false node.name = mic-feed }", "-"],
                              env=server.tool_env, stdin=reader, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(reader)
    try:
        def link() -> bool:
            return subprocess.run(["pw-link", "mic-feed:output_MONO", "mic:input_MONO"], env=server.tool_env,
                                  capture_output=True).returncode == 0
        server.wait_until("pw-cat linked to the microphone", link)
        with EchoMicrophone(fifo, track) as mic:
            os.close(keeper)
            keeper = None
            yield mic
    finally:
        if keeper is not None:
            os.close(keeper)
        player.terminate()
        player.wait()
        os.unlink(fifo)


@dataclass
class SceneCapture:
    """A capture of the scene: both channels, where the far end's grid
    starts in each (channel 0's sample of far-grid index j is base0 + j,
    as far as the markers tell), and the microphone's FIFO."""
    capture: Capture
    ch0: array.array
    base0: int
    ch1: array.array
    base1: int
    mic: EchoMicrophone


def measure(binary: str, server, tracks: Tracks, cancel: bool, gain_db: float) -> EchoRun:
    """One capture of the scene; `server` has the echo rig's devices."""
    captured = capture_scene(binary, server, tracks, cancel)
    mic = captured.mic
    run = analyse(server.describe(), tracks, gain_db, cancel, captured.ch0, captured.base0, captured.ch1,
                  captured.base1, (mic.worst_late_ms, mic.worst_behind_ms))
    run.held_ms = mic.most_held_ms
    return run


def capture_scene(binary: str, server, tracks: Tracks, cancel: bool) -> SceneCapture:
    args = ["--mic", "--system"] + (["--cancel-echo"] if cancel else [])
    with _microphone(server, tracks.mic, tracks.mic_ppm) as mic:
        time.sleep(0.5)
        capture = Capture(binary, args, server.env)
        try:
            capture.wait_ready()
            mic.drain()
            ready_samples = {tag: sum(f.count for f in capture.frames if f.tag == tag) for tag in (0, 1)}
            with probes.Player(tracks.far.tobytes(), "speakers", server.env):
                mic.marker_at = mic.written + round(NEAR_MARKER_S * RATE)
                near_index, far_index = _watch_markers(capture, ready_samples[0],
                                                       time.monotonic() + NEAR_MARKER_S + MARKER_TIMEOUT_S)
                first0 = next(f.time for f in capture.frames if f.tag == 0)
                first1 = next(f.time for f in capture.frames if f.tag == 1)
                offset = (first0 + near_index / RATE) - (first1 + far_index / RATE)
                # The far-grid index at the microphone's marker.
                marker_far = tracks.marker + round(offset * RATE)
                mic.shift = round(tracks.on_mic_grid(marker_far)) - mic.marker_at
                while mic.armed_at is None:
                    time.sleep(0.005)
                start = round(tracks.on_mic_grid(tracks.start))
                if mic.armed_at + mic.shift > start:
                    raise RuntimeError(f"the echo was placed {(mic.armed_at + mic.shift - start) / RATE:.2f} s "
                                       "after the speech started")
                end = len(tracks.mic) // BYTES_PER_SAMPLE
                while mic.written + mic.shift < end:
                    mic.look()
                    time.sleep(0.1)
                time.sleep(0.5)
        finally:
            status, _ = capture.stop()
    if mic.error:
        raise RuntimeError(f"microphone FIFO: {mic.error}")
    if status != 0 or capture.stream_error:
        raise RuntimeError(f"echo capture: status {status}, {capture.stream_error}, {capture.lines[-3:]}")
    _, ch0 = channel_samples(capture.frames, 0)
    _, ch1 = channel_samples(capture.frames, 1)
    return SceneCapture(capture, ch0, near_index - marker_far, ch1, far_index - tracks.marker, mic)


def output_figures(tracks: Tracks, out) -> tuple[dict[str, float], float, float, float, float]:
    """What a canceller made of the scene, `out` lying on the far end's
    grid: ERLE per ERLE window, the near end alone out against in, and the
    double talk's gain and echo reduction (gain_fit) and its echo reduction
    with the near end's shaping fitted (shaped_fit), all in dB."""
    def part(signal, name):
        start, stop = tracks.window(name)
        return signal[start:stop]

    erle = {name: erle_db(part(tracks.echo, name), part(out, name)) for name in ERLE_WINDOWS}
    near_change = ratio_db(energy(part(out, "near alone")), energy(part(tracks.near, "near alone")))
    double_gain, double_reduction = gain_fit(part(out, "double talk"), part(tracks.near, "double talk"),
                                             part(tracks.echo, "double talk"))
    shaped = shaped_fit(part(out, "double talk"), part(tracks.near, "double talk"), part(tracks.echo, "double talk"))
    return erle, near_change, double_gain, double_reduction, shaped


def analyse(server: str, tracks: Tracks, gain_db: float, cancel: bool, ch0, base0: int, ch1, base1: int,
            pacing: tuple[float, float]) -> EchoRun:
    """The figures of one run from both channels and where the far-end grid
    starts in each."""
    a, b = tracks.window("near alone")
    if base0 + b > len(ch0) or base1 + b > len(ch1):
        raise RuntimeError("the capture ended before the scene")
    # A resampling server may move the microphone by a sample or so.
    lag = best_lag(ch0, tracks.near, range(base0 - ALIGN_SAMPLES, base0 + ALIGN_SAMPLES + 1), a, a + RATE)
    align = lag - base0
    # The same alignment must hold in the double talk, 8 s earlier: a server
    # that resamples the microphone adaptively moves it, and then no figure
    # of the run means anything.
    start, _ = tracks.window("double talk")
    earlier = best_lag(ch0, tracks.near, range(lag - 2 * ALIGN_SAMPLES, lag + 2 * ALIGN_SAMPLES + 1), start,
                       start + RATE)
    if abs(earlier - lag) > 1:
        raise RuntimeError(f"the microphone moved by {lag - earlier} samples from the double talk to the near end "
                           "alone (the server resampled it)")
    base0 = lag
    if base0 < 0 or base1 < 0:
        raise RuntimeError("a channel started after the far end")
    out = ch0[base0:]  # on the far-end grid from here on
    erle, near_change, double_gain, double_reduction, shaped = output_figures(tracks, out)
    measured = exact = None
    if not cancel:
        start, _ = tracks.window("far after")
        search = round(DELAY_SEARCH_MS * RATE / 1000)
        system = ch1[base1:]
        lag = best_lag(system, out, range(-tracks.delay - search, -tracks.delay + search + 1),
                       start + tracks.delay + search, start + tracks.delay + search + RATE)
        measured = -lag * 1000 / RATE
        mic = array.array("h")
        mic.frombytes(tracks.mic)
        if sys.byteorder != "little":
            mic.byteswap()
        start, stop = tracks.start, len(tracks.near)
        exact = out[start:stop] == mic[start:stop]
    return EchoRun(server, tracks.delay * 1000 / RATE, gain_db, cancel, erle, near_change, double_gain,
                   double_reduction, shaped, measured, align, exact, pacing)


# --- The rig ---

VIRTUAL_MICROPHONE = ("{ factory.name=support.null-audio-sink node.name=mic node.description=Microphone "
                      f"media.class=Audio/Source/Virtual audio.position=[ MONO ] audio.rate={RATE} "
                      "object.linger=true }")
ECHO_RIG = f"""\
load-module module-native-protocol-unix auth-anonymous=1 socket={{run}}/native
load-module module-null-sink sink_name=speakers {servers.PIPE_FORMAT} norewinds=1 sink_properties=device.description=Speakers
load-module module-pipe-source source_name=mic file={{root}}/mic.fifo {servers.PIPE_FORMAT} source_properties=device.description=Microphone
set-default-sink speakers
set-default-source mic
"""


class PipeWireEchoRig:
    """The echo rig on PipeWire's pulse server: "speakers" as on
    PulseAudio; the microphone "mic" a pipe source on 0.3, a virtual source
    node on 1.4 (see _microphone). At 1.4's default 48 kHz the microphone
    wandered by up to ±30 samples within a run, as parec heard it too (an
    adaptive resampler on its way); with the graph held at 16 kHz, nothing
    is resampled and it stays put."""

    def __init__(self, version: str) -> None:
        self.server = servers.PipeWireServer(version)

    def __enter__(self):
        server = self.server.__enter__()
        try:
            fifo = os.path.join(server.root, "mic.fifo")
            server.pactl("load-module", "module-null-sink", "sink_name=speakers", *servers.PIPE_FORMAT.split(),
                         "sink_properties=device.description=Speakers")
            if server.version == "1.4":
                subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-rate", str(RATE)], env=server.tool_env,
                               check=True, capture_output=True)
                subprocess.run(["pw-cli", "create-node", "adapter", VIRTUAL_MICROPHONE], env=server.tool_env,
                               check=True, capture_output=True)
            else:
                server.pactl("load-module", "module-pipe-source", "source_name=mic", f"file={fifo}",
                             *servers.PIPE_FORMAT.split(), "source_properties=device.description=Microphone")
            server.wait_until("the echo rig's devices",
                              lambda: "\tmic\t" in server.pactl("list", "short", "sources").stdout)
            server.pactl("set-default-sink", "speakers")
            server.wait_until("default sink speakers",
                              lambda: "\nDefault Sink: speakers\n" in server.pactl("info").stdout)
            server.set_default_source("mic")
        except BaseException:
            server.__exit__(None, None, None)
            raise
        return server

    def __exit__(self, *exc) -> None:
        self.server.__exit__(*exc)


def rig(kind: str):
    if kind == "pulseaudio":
        return servers.PrivateServer(ECHO_RIG)
    return PipeWireEchoRig("0.3" if kind == "pipewire" else "1.4")


@dataclass
class Group:
    """The runs of one server, delay, echo level and mode."""
    runs: list[EchoRun]
    failed: int = 0

    def values(self, pick) -> list[float]:
        return [v for v in (pick(run) for run in self.runs) if v is not None]


def speech_in_temp(scene: Scene = CONVERSATION) -> Speech:
    with tempfile.TemporaryDirectory(prefix="tavikbench-echo.") as directory:
        return make_speech(directory, scene)
