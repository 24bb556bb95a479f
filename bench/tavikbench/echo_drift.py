"""Echo with a drifting microphone: how much echo `--cancel-echo` keeps out
over minutes of far-end speech while the microphone's clock runs apart from
the output's (the null sink "speakers", on the system clock).

PulseAudio's pipe source reads its FIFO at the pace the bench writes it, so
EchoMicrophone paced `ppm` fast is a microphone whose clock runs that fast.
PipeWire reads a pipe source at its graph's pace whatever the writer does:
there the microphone cannot be skewed this way, and the rig is PulseAudio's
alone.

Such a microphone samples the sound in the room on its own grid, 16 kHz ×
(1 + ppm/10⁶) samples per real second: its track is the room's (near end +
echo in real time, on the far end's grid) resampled onto that grid by
bench/mic_grid, a windowed sinc (linear interpolation would itself bound
ERLE at 30-40 dB at speech frequencies). tavikrec's drift correction puts the
microphone back on the shared timeline, where the canceller works.

The scene is the far end alone, its speech repeated: ERLE needs stretches
without a near end, and double talk would hold the canceller's adaptation
back, which is not what this figure is about: how much echo is left while
the echo path drifts until the correction engages, and once it holds."""
from __future__ import annotations

import dataclasses
import subprocess
from dataclasses import dataclass

from . import drift, echo
from .frames import RATE

WINDOW_S = 30.0  # ERLE is reported per window this long
STEADY_AFTER_S = 120.0  # the canceller has converged by then
TARGET_DB = 30.0  # every window after STEADY_AFTER_S


def far_only(seconds: float) -> echo.Scene:
    return echo.Scene(far=((0.0, seconds),), near=(), seconds=seconds)


def on_mic_grid(room: bytes, ppm: float, program: str) -> bytes:
    """What a microphone `ppm` fast records of `room` (s16le on the far
    end's grid): its sample k is the room's at k / (1 + ppm/10⁶)."""
    return subprocess.run([program, f"{ppm:g}"], input=room, capture_output=True, check=True).stdout


def drifting_tracks(tracks: echo.Tracks, ppm: float, program: str) -> echo.Tracks:
    return dataclasses.replace(tracks, mic=on_mic_grid(tracks.mic, ppm, program), mic_ppm=ppm)


def window_erle(tracks: echo.Tracks, out, seconds: float) -> list[tuple[float, float, float]]:
    """(from s, to s, ERLE dB) for each WINDOW_S of the scene's first
    `seconds`, `out` lying on the far end's grid."""
    windows = []
    for k in range(int(seconds // WINDOW_S)):
        a, b = k * WINDOW_S, (k + 1) * WINDOW_S
        start, stop = tracks.start + round(a * RATE), tracks.start + round(b * RATE)
        windows.append((a, b, echo.erle_db(tracks.echo[start:stop], out[start:stop])))
    return windows


@dataclass
class DriftingEchoRun:
    server: str
    ppm: float
    delay_ms: float
    gain_db: float
    cancel: bool
    erle: list[tuple[float, float, float]]  # window_erle
    steady_db: float | None  # ERLE over everything from STEADY_AFTER_S on, if the scene lasts that long
    notices: list[str]  # tavikrec's drift-correction lines on stderr
    pacing: tuple[float, float]  # the microphone's FIFO: latest wake-up, most behind (ms)
    held_ms: float  # the most the microphone's FIFO held during the scene

    @property
    def worst_steady_db(self) -> float | None:
        steady = [db for a, _, db in self.erle if a >= STEADY_AFTER_S]
        return min(steady) if steady else None


def analyse(server: str, tracks: echo.Tracks, seconds: float, gain_db: float, cancel: bool,
            captured: echo.SceneCapture) -> DriftingEchoRun:
    if captured.base0 < 0:
        raise RuntimeError("channel 0 started after the far end")
    out = captured.ch0[captured.base0:]
    if len(out) < tracks.start + seconds * RATE:
        raise RuntimeError("the capture ended before the scene")
    a, b = tracks.start + round(STEADY_AFTER_S * RATE), tracks.start + round(seconds * RATE)
    steady = echo.erle_db(tracks.echo[a:b], out[a:b]) if b > a else None
    lines = captured.capture.lines
    return DriftingEchoRun(server, tracks.mic_ppm, tracks.delay * 1000 / RATE, gain_db, cancel,
                           window_erle(tracks, out, seconds), steady,
                           [line for line in lines if drift.NOTICE.search(line)],
                           (captured.mic.worst_late_ms, captured.mic.worst_behind_ms), captured.mic.most_held_ms)


def measure(binary: str, server, tracks: echo.Tracks, seconds: float, cancel: bool,
            gain_db: float) -> DriftingEchoRun:
    """One capture of the far-only scene `seconds` long; `server` is the
    echo rig on PulseAudio."""
    captured = echo.capture_scene(binary, server, tracks, cancel)
    return analyse(server.describe(), tracks, seconds, gain_db, cancel, captured)
