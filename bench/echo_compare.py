#!/usr/bin/env python3
"""speexdsp against webrtc-audio-processing 0.3, offline, on the echo rig's
scene: the same two voices, far end alone 0-10 s, double talk 10-18, near
end alone 18-24, far end alone 24-32, the echo D ms late with its
reflections (tavikbench.echo builds it). Offline the scene needs no server
and no markers: the far end, the microphone and the near end are written
as files on one grid, the program `echo_compare` (bench/echo_compare.cc)
runs every canceller over them, and each output is measured as the live rig
measures channel 0, by tavikbench.echo.analyse. CPU time is the median of
--runs runs of the program (this machine is shared).

  cmake --build build --target echo_compare
  bench/echo_compare.py build/bench/echo_compare [--delays 3,20,50,150] [--runs 3]"""
from __future__ import annotations

import argparse
import array
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from tavikbench import echo, stats  # noqa: E402
from tavikbench.frames import samples_from  # noqa: E402

# The live rig's targets for the near end.
NEAR_ALONE_DB = 0.5
DOUBLE_TALK_GAIN_DB = 1.0


def _little_endian(samples) -> bytes:
    samples = array.array("h", samples)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def write_inputs(tracks: echo.Tracks, directory: str) -> tuple[str, str, str]:
    """far.raw, mic.raw and near.raw on the far end's grid. The far end
    leaves out the live rig's marker: the microphone carries no echo of it,
    and a canceller would be shown a click it must not learn from."""
    far = array.array("h", tracks.far)  # already little-endian bytes
    far[tracks.marker] = 0
    paths = tuple(os.path.join(directory, name + ".raw") for name in ("far", "mic", "near"))
    for path, data in zip(paths, (far.tobytes(), tracks.mic, _little_endian(tracks.near))):
        with open(path, "wb") as f:
            f.write(data)
    return paths


@dataclass
class Timing:
    cpu_ms_per_s: float
    latency: int  # samples the output lags the microphone
    delay_found_ms: int  # webrtc's own estimate; -1 for none


def parse_timings(text: str) -> dict[str, Timing]:
    """The program's lines: name, CPU ms per s of audio, latency (samples),
    echo left over the whole file (dB), the delay webrtc found (ms)."""
    timings = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        name, cpu, latency, _, delay = line.split()
        timings[name] = Timing(float(cpu), int(latency), int(delay))
    return timings


@dataclass
class Figures:
    erle_db: dict[str, float]
    near_change_db: float
    double_gain_db: float
    double_reduction_db: float
    double_reduction_shaped_db: float


def figures(tracks: echo.Tracks, output, latency: int = 0) -> Figures:
    """The live rig's figures of one canceller's output, which lies
    `latency` samples late on the far end's grid."""
    return Figures(*echo.output_figures(tracks, output[latency:]))


def near_end_kept(run: Figures) -> bool:
    return abs(run.near_change_db) <= NEAR_ALONE_DB and abs(run.double_gain_db) <= DOUBLE_TALK_GAIN_DB


def row(label: str, run: Figures, cpu: list[float], timing: Timing | None) -> str:
    erle = " | ".join(f"{run.erle_db[w]:.1f}" for w in echo.ERLE_WINDOWS)
    cpu_text = f"{stats.median(cpu):.2f} [{min(cpu):.2f}-{max(cpu):.2f}]" if cpu else "-"
    latency = f"{timing.latency}" if timing else "-"
    found = f"{timing.delay_found_ms}" if timing and timing.delay_found_ms >= 0 else "-"
    return (f"| {label} | {erle} | {run.near_change_db:+.2f} | {run.double_gain_db:+.2f} | "
            f"{run.double_reduction_db:.1f} | {run.double_reduction_shaped_db:.1f} | {cpu_text} | {latency} | {found} | "
            f"{'kept' if near_end_kept(run) else 'changed'} |")


HEADER = ("| canceller, D | ERLE 0-3 s | 3-10 s | after double talk 0-2 s | after | near alone | DT gain | "
          "DT echo reduction | the same, near end's shaping fitted | CPU ms/s | latency | delay found ms | near end |\n|"
          + "---|" * 13)


def compare(binary: str, speech: echo.Speech, delay_ms: float, gain_db: float, runs: int,
            only: set[str] | None) -> list[str]:
    tracks = echo.make_tracks(speech, delay_ms, gain_db)
    # The microphone itself measured as an output: every figure 0 dB.
    lines = [row(f"none, {delay_ms:g} ms", figures(tracks, samples_from(tracks.mic)), [], None)]
    with tempfile.TemporaryDirectory(prefix="tavikbench-echo-compare.") as directory:
        inputs = write_inputs(tracks, directory)
        cpu: dict[str, list[float]] = {}
        timings: dict[str, Timing] = {}
        first: dict[str, bytes] = {}
        for index in range(runs):
            out_dir = os.path.join(directory, f"run{index}")
            os.mkdir(out_dir)
            done = subprocess.run([binary, *inputs, out_dir], capture_output=True, text=True)
            if done.returncode != 0:
                raise RuntimeError(f"{binary}: status {done.returncode}: {done.stderr.strip()}")
            for name, timing in parse_timings(done.stdout).items():
                cpu.setdefault(name, []).append(timing.cpu_ms_per_s)
                timings[name] = timing
                with open(os.path.join(out_dir, name + ".raw"), "rb") as f:
                    data = f.read()
                if first.setdefault(name, data) != data:
                    lines.append(f"  ({name}: its output differs between runs; the first run's is measured)")
        for name, data in first.items():
            if only and name not in only:
                continue
            run = figures(tracks, samples_from(data), timings[name].latency)
            lines.append(row(f"{name}, {delay_ms:g} ms", run, cpu[name], timings[name]))
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary", help="the echo_compare program")
    parser.add_argument("--delays", default="3,20,50,150", help="where the echo lies after the far end, ms")
    parser.add_argument("--echo-gain", type=float, default=0.0, help="the echo's level, dB (write it with =)")
    parser.add_argument("--runs", type=int, default=3, help="runs of the program; CPU is their median")
    parser.add_argument("--cancellers", default="", help="measure only these, comma-separated (default: all)")
    options = parser.parse_args()
    only = set(options.cancellers.split(",")) if options.cancellers else None
    print(f"== echo at {options.echo_gain:+g} dB; load average {os.getloadavg()[0]:.2f}", flush=True)
    speech = echo.speech_in_temp()
    print(HEADER, flush=True)
    for delay in (float(d) for d in options.delays.split(",")):
        for line in compare(options.binary, speech, delay, options.echo_gain, options.runs, only):
            print(line, flush=True)
    print(f"== load average {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
