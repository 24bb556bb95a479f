"""Entry point: python3 -m tavikbench BINARY [options]; see bench/run."""
from __future__ import annotations

import argparse
import contextlib
import os
import platform
import subprocess
import sys

from . import backlog, cost, drift, echo, echo_drift, fidelity, report, server as servers, soak, startup
from .server import PrivateServer
from .stress import BusyLoops

MODES = {  # cost rounds, seconds per cost run, loop-rig runs per condition, seconds per run, backlog pause
    "full": (5, 10.0, 3, 10.0, 20.0),
    "quick": (2, 4.0, 1, 5.0, 8.0),
}
CONDITIONS = ("idle", "busy")
# Where the drift rig runs: PulseAudio with both devices, PipeWire's pulse
# server (0.3, the system's; 1.4 from its prefix) with the microphone alone.
DRIFT_SERVERS = ("pulseaudio", "pipewire", "pipewire14")
ECHO_MODES = ("plain", "cancel")


def machine() -> list[str]:
    model = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    pulse = subprocess.run(["pulseaudio", "--version"], capture_output=True, text=True).stdout.strip()
    return [f"== machine: {os.cpu_count()} CPUs, {model}, kernel {platform.release()}, {pulse}, "
            f"load average {os.getloadavg()[0]:.2f}"]


def loop_rig(binaries: list[tuple[str, str]], env: dict, conditions: list[str], runs: int,
             seconds: float) -> list[str]:
    """For each condition, `runs` rounds; within a round every binary runs
    once, the first binary alternating from round to round. Each run's line
    is printed as it finishes, the targets at the end."""
    lines = []
    for condition in conditions:
        results: dict[str, list[fidelity.FidelityRun]] = {label: [] for label, _ in binaries}
        # A run whose stream is broken or whose capture failed is a faulty
        # run of that binary, not the end of the measurement.
        broken: dict[str, int] = {label: 0 for label, _ in binaries}
        with BusyLoops() if condition == "busy" else contextlib.nullcontext():
            for round_index in range(runs):
                first = round_index % len(binaries)
                for label, path in binaries[first:] + binaries[:first]:
                    try:
                        run = fidelity.measure(path, env, seconds)
                    except RuntimeError as error:
                        broken[label] += 1
                        print(f"{label} {condition} run {round_index + 1}: failed: {error}", flush=True)
                        continue
                    results[label].append(run)
                    print(report.fidelity_run(label, condition, round_index + 1, run), flush=True)
            startup_ms = {label: startup.help_run_ms(path) for label, path in binaries}
        for label, done in results.items():
            lines += report.fidelity(label, condition, fidelity.Summary(done, broken[label]), startup_ms[label])
    return lines


def drift_rig(binary: str, server_kinds: list[str], ppms: list[float], seconds: float, runs: int,
              skewed_source: str | None, still_ms: float = 0) -> list[str]:
    """On each server, `runs` rounds of one capture per skew; each run's
    line is printed as it finishes, the figures and targets at the end. A
    server that does not start (PipeWire 1.4 not installed) is reported and
    the others still run."""
    return _on_each_server(
        "drift", server_kinds, lambda kind: _drift_on(kind, binary, ppms, seconds, runs, skewed_source, still_ms))


def _on_each_server(section: str, server_kinds: list[str], body) -> list[str]:
    """`body(kind)`'s lines for each server in turn; one that fails (a
    server that does not start) is reported in a line of its own and the
    others still run."""
    lines = []
    for kind in server_kinds:
        try:
            lines += body(kind)
        except (RuntimeError, OSError, subprocess.SubprocessError) as error:
            lines.append(f"== {section}, {kind}: {error}")
    return lines


def _drift_on(kind: str, binary: str, ppms: list[float], seconds: float, runs: int,
              skewed_source: str | None, still_ms: float) -> list[str]:
    if kind != "pulseaudio" and not skewed_source:
        raise RuntimeError("the PipeWire microphone needs --skewed-source (bench/run builds it)")
    if kind != "pulseaudio" and still_ms:
        raise RuntimeError("--drift-still runs on PulseAudio's pipe devices only")
    with _drift_server(kind) as server:
        name = server.describe()
        groups = {ppm: drift.Group([]) for ppm in ppms}
        for round_index in range(runs):
            for ppm in ppms:
                try:
                    if kind == "pulseaudio":
                        run = drift.measure_pulseaudio(binary, server, ppm, seconds, still_ms)
                    else:
                        run = drift.measure_microphone(binary, server, ppm, seconds, skewed_source)
                except (RuntimeError, OSError, subprocess.SubprocessError) as error:  # a faulty run, not the end
                    groups[ppm].failed += 1
                    print(f"{name} {ppm:+g} ppm run {round_index + 1}: failed: {error}", flush=True)
                    continue
                groups[ppm].runs.append(run)
                print(report.drift_run(round_index + 1, run), flush=True)
    return [line for ppm, group in groups.items() for line in report.drift(name, ppm, group)]


def drift_cost(binaries: list[tuple[str, str]], ppms: list[float], seconds: float, rounds: int) -> list[str]:
    """The cost rounds with both devices of the drift rig `ppm` off: what
    resampling both channels costs against the parecord pair (the captures
    last `seconds`; a correction engages after 10-20 s of them)."""
    lines = []
    with _drift_server("pulseaudio") as server:
        for ppm in ppms:
            with drift.skewed_devices(server, ppm, rounds * (len(binaries) + 1) * (seconds + 5)):
                contestants = cost.measure(binaries, server.env, rounds, seconds)
            lines += [f"== drift cost, {server.describe()}, devices {ppm:+g} ppm, {seconds:.0f} s captures"]
            lines += report.cost(contestants)
    return lines


def drift_tone(binary: str, ppms: list[float], seconds: float, runs: int) -> list[str]:
    """THD+N of a 1 kHz tone through a microphone `ppm` fast, per skew."""
    lines = []
    with _drift_server("pulseaudio") as server:
        for ppm in ppms:
            values = []
            for index in range(runs):
                db, notice = drift.measure_tone(binary, server, ppm, seconds)
                print(f"tone {ppm:+g} ppm run {index + 1}: THD+N {db:.1f} dB (second half); {notice or 'no correction'}",
                      flush=True)
                values.append(db)
            lines.append(f"== drift tone, {server.describe()}, microphone {ppm:+g} ppm: THD+N "
                         f"{report._spread(values, 1, '')} dB over {runs} runs (target <= -80 dB: "
                         f"{'met' if max(values) <= -80 else 'MISSED'})")
    return lines


def echo_rig(binary: str, server_kinds: list[str], delays: list[float], gains: list[float], modes: list[str],
             runs: int) -> list[str]:
    """On each server, `runs` rounds; a round runs the scene once per echo
    level, delay and mode, in that order. Each run's line is printed as it
    finishes, the figures and targets at the end. A server that does not
    start is reported and the others still run."""
    speech = echo.speech_in_temp()
    return _on_each_server("echo", server_kinds,
                           lambda kind: _echo_on(kind, binary, speech, delays, gains, modes, runs))


def _echo_on(kind: str, binary: str, speech: echo.Speech, delays: list[float], gains: list[float],
             modes: list[str], runs: int) -> list[str]:
    keys = [(gain, delay, mode == "cancel") for gain in gains for delay in delays for mode in modes]
    groups = {key: echo.Group([]) for key in keys}
    with echo.rig(kind) as server:
        name = server.describe()
        for round_index in range(runs):
            for gain, delay, cancel in keys:
                tracks = echo.make_tracks(speech, delay, gain)
                try:
                    run = echo.measure(binary, server, tracks, cancel, gain)
                except (RuntimeError, OSError, subprocess.SubprocessError) as error:  # a faulty run, not the end
                    groups[(gain, delay, cancel)].failed += 1
                    print(f"{name} D {delay:g} ms, echo {gain:+g} dB, {'--cancel-echo' if cancel else 'plain'} "
                          f"run {round_index + 1}: failed: {error}", flush=True)
                    continue
                groups[(gain, delay, cancel)].runs.append(run)
                print(report.echo_run(round_index + 1, run), flush=True)
    return [line for (gain, delay, cancel), group in groups.items()
            for line in report.echo(name, delay, gain, cancel, group)]


def drifting_echo(binary: str, ppms: list[float], minutes: float, delays: list[float], gains: list[float],
                  modes: list[str], runs: int, mic_grid: str) -> list[str]:
    """The far-only scene `minutes` long with the microphone `ppm` fast, on
    PulseAudio, `runs` rounds of every skew, echo level, delay and mode;
    each run's figures are printed as it finishes and again at the end."""
    seconds = minutes * 60
    scene = echo_drift.far_only(seconds)
    speech = echo.speech_in_temp(scene)
    lines = []
    with echo.rig("pulseaudio") as server:
        for round_index in range(runs):
            for ppm in ppms:
                for gain in gains:
                    for delay in delays:
                        tracks = echo_drift.drifting_tracks(echo.make_tracks(speech, delay, gain, scene), ppm, mic_grid)
                        for cancel in (mode == "cancel" for mode in modes):
                            try:
                                run = echo_drift.measure(binary, server, tracks, seconds, cancel, gain)
                            except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                                print(f"{server.describe()} microphone {ppm:+g} ppm, D {delay:g} ms, echo {gain:+g} dB, "
                                      f"{'--cancel-echo' if cancel else 'plain'} run {round_index + 1}: failed: {error}",
                                      flush=True)
                                continue
                            block = report.echo_drift(round_index + 1, run)
                            print("\n".join(block), flush=True)
                            lines += block
    return lines


def _drift_server(kind: str):
    if kind == "pulseaudio":
        return PrivateServer(servers.DRIFT_RIG)
    return servers.PipeWireServer("0.3" if kind == "pipewire" else "1.4")


def main() -> int:
    parser = argparse.ArgumentParser(prog="bench/run")
    parser.add_argument("binary")
    parser.add_argument("--label", default="tavikrec", help="name of BINARY in the report")
    parser.add_argument("--baseline", metavar="PATH", help="a second tavikrec, alternated round by round with BINARY")
    parser.add_argument("--baseline-label", default="baseline")
    parser.add_argument("--quick", action="store_true", help="a short version of every measurement")
    parser.add_argument("--runs", type=int,
                        help="loop-rig runs per binary and condition; drift-rig captures per skew (default 1)")
    parser.add_argument("--conditions", default="idle,busy",
                        help="loop-rig conditions, comma-separated: idle, busy (a busy loop on every CPU)")
    parser.add_argument("--only", choices=("cost", "rig", "backlog", "drift", "drift-tone", "drift-cost", "echo"),
                        help="one section only; drift, drift-tone (THD+N of a 1 kHz tone through a skewed "
                             "microphone) and drift-cost (the cost rounds on the drift rig, per skew) run only "
                             "when asked for, on PulseAudio; echo (the echo canceller's rig) only when asked for")
    parser.add_argument("--cost-echo", action="store_true",
                        help="cost: also `--mic --system --cancel-echo` (target: CPU <= 2.5x the pair)")
    parser.add_argument("--drift-ppm", default="-500,+500",
                        help="drift rig: device clock skews in ppm, comma-separated (both devices of a run get it)")
    parser.add_argument("--drift-seconds", type=float, default=60.0, help="drift rig: seconds per capture")
    parser.add_argument("--drift-still", type=float, default=0.0, metavar="MS",
                        help="drift rig on PulseAudio: both devices stand still this long once, a minute in "
                             "(a step, which must not pass for drift)")
    parser.add_argument("--drift-servers", default="pulseaudio,pipewire",
                        help=f"drift rig: {', '.join(DRIFT_SERVERS)}, comma-separated")
    parser.add_argument("--echo-servers", default="pulseaudio,pipewire",
                        help=f"echo rig: {', '.join(DRIFT_SERVERS)}, comma-separated")
    parser.add_argument("--echo-delays", default="3,20,50,150",
                        help="echo rig: where the echo lies after the output on the timeline, ms, comma-separated")
    parser.add_argument("--echo-gains", default="-3,0",
                        help="echo rig: the echo's level against the output, dB, comma-separated (write it with =)")
    parser.add_argument("--echo-modes", default="plain,cancel",
                        help="echo rig: plain (tavikrec --mic --system), cancel (with --cancel-echo), comma-separated")
    parser.add_argument("--echo-drift-ppm", metavar="PPM",
                        help="echo rig on PulseAudio alone: instead of the conversation, far-end speech alone for "
                             "--echo-drift-minutes with the microphone's clock this fast (comma-separated skews, "
                             "e.g. =0,+300,-300); ERLE per 30 s")
    parser.add_argument("--echo-drift-minutes", type=float, default=5.0)
    parser.add_argument("--mic-grid", metavar="PATH",
                        help="echo rig with --echo-drift-ppm: the mic_grid program (bench/mic_grid.cc)")
    parser.add_argument("--skewed-source", metavar="PATH",
                        help="drift rig on PipeWire: the skewed_source program (tests/support) for the microphone")
    parser.add_argument("--soak", action="store_true", help="only the soak run")
    parser.add_argument("--soak-minutes", type=float, default=60.0)
    options = parser.parse_args()
    conditions = options.conditions.split(",")
    if not set(conditions) <= set(CONDITIONS):
        parser.error(f"--conditions takes {', '.join(CONDITIONS)}")
    drift_servers = options.drift_servers.split(",")
    if not set(drift_servers) <= set(DRIFT_SERVERS):
        parser.error(f"--drift-servers takes {', '.join(DRIFT_SERVERS)}")
    try:
        ppms = [float(value) for value in options.drift_ppm.split(",")]
    except ValueError:
        parser.error("--drift-ppm takes numbers, e.g. -500,+500")
    echo_servers = options.echo_servers.split(",")
    echo_modes = options.echo_modes.split(",")
    if not set(echo_servers) <= set(DRIFT_SERVERS) or not set(echo_modes) <= set(ECHO_MODES):
        parser.error(f"--echo-servers takes {', '.join(DRIFT_SERVERS)}; --echo-modes {', '.join(ECHO_MODES)}")
    try:
        echo_delays = [float(value) for value in options.echo_delays.split(",")]
        echo_gains = [float(value) for value in options.echo_gains.split(",")]
    except ValueError:
        parser.error("--echo-delays and --echo-gains take numbers, e.g. 3,20 and -3,0")
    echo_drift_ppms = None
    if options.echo_drift_ppm is not None:
        try:
            echo_drift_ppms = [float(value) for value in options.echo_drift_ppm.split(",")]
        except ValueError:
            parser.error("--echo-drift-ppm takes numbers, e.g. =0,+300")
        # PipeWire reads a pipe source at its graph's pace, not the writer's.
        if echo_servers != ["pulseaudio"] or not options.mic_grid:
            parser.error("--echo-drift-ppm skews the microphone on PulseAudio alone (--echo-servers pulseaudio) "
                         "and needs --mic-grid")

    binaries = [(options.label, options.binary)]
    if options.baseline:
        same = options.baseline_label == options.label  # e.g. two builds of one commit
        binaries.append((options.baseline_label + (" (baseline)" if same else ""), options.baseline))
    rounds, seconds, runs, rig_s, pause_s = MODES["quick" if options.quick else "full"]
    runs = options.runs or runs
    print("\n".join(machine()), flush=True)
    print("== binaries: " + ", ".join(f"{label} = {path}" for label, path in binaries), flush=True)
    if options.only == "drift-cost":
        print("\n".join(drift_cost(binaries, ppms, options.drift_seconds, options.runs or 3)), flush=True)
        return 0
    if options.only == "drift-tone":
        print("\n".join(drift_tone(options.binary, ppms, options.drift_seconds, options.runs or 1)), flush=True)
        return 0
    if options.only == "echo" and echo_drift_ppms is not None:
        lines = drifting_echo(options.binary, echo_drift_ppms, options.echo_drift_minutes, echo_delays, echo_gains,
                              echo_modes, options.runs or 1, options.mic_grid)
        print("\n".join(["== all runs"] + lines), flush=True)
        print(f"== load average at the end {os.getloadavg()[0]:.2f}", flush=True)
        return 0
    if options.only == "echo":  # servers of its own
        print("\n".join(echo_rig(options.binary, echo_servers, echo_delays, echo_gains, echo_modes,
                                 options.runs or 1)), flush=True)
        print(f"== load average at the end {os.getloadavg()[0]:.2f}", flush=True)
        return 0
    if options.only == "drift":  # servers of its own
        print("\n".join(drift_rig(options.binary, drift_servers, ppms, options.drift_seconds,
                                  options.runs or 1, options.skewed_source, options.drift_still)), flush=True)
        print(f"== load average at the end {os.getloadavg()[0]:.2f}", flush=True)
        return 0
    with PrivateServer() as server:
        if options.soak:
            sections = {"soak": lambda: report.soak(soak.measure(options.binary, server.env, options.soak_minutes))}
        else:
            sections = {
                "cost": lambda: report.cost(cost.measure(binaries, server.env, rounds, seconds, options.cost_echo)),
                "rig": lambda: loop_rig(binaries, server.env, conditions, runs, rig_s),
                "backlog": lambda: report.backlog(backlog.measure(options.binary, server.env, pause_s)),
            }
        for name, section in sections.items():
            if options.only in (None, name):
                print("\n".join(section()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
