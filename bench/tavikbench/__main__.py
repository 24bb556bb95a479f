"""Entry point: python3 -m tavikbench BINARY [options]; see bench/run."""
from __future__ import annotations

import argparse
import contextlib
import os
import platform
import subprocess
import sys

from . import backlog, cost, fidelity, report, soak, startup
from .server import PrivateServer
from .stress import BusyLoops

MODES = {  # cost rounds, seconds per cost run, loop-rig runs per condition, seconds per run, backlog pause
    "full": (5, 10.0, 3, 10.0, 20.0),
    "quick": (2, 4.0, 1, 5.0, 8.0),
}
CONDITIONS = ("idle", "busy")


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


def main() -> int:
    parser = argparse.ArgumentParser(prog="bench/run")
    parser.add_argument("binary")
    parser.add_argument("--label", default="tavikrec", help="name of BINARY in the report")
    parser.add_argument("--baseline", metavar="PATH", help="a second tavikrec, alternated round by round with BINARY")
    parser.add_argument("--baseline-label", default="baseline")
    parser.add_argument("--quick", action="store_true", help="a short version of every measurement")
    parser.add_argument("--runs", type=int, help="loop-rig runs per binary and condition")
    parser.add_argument("--conditions", default="idle,busy",
                        help="loop-rig conditions, comma-separated: idle, busy (a busy loop on every CPU)")
    parser.add_argument("--only", choices=("cost", "rig", "backlog"), help="one section only")
    parser.add_argument("--soak", action="store_true", help="only the soak run")
    parser.add_argument("--soak-minutes", type=float, default=60.0)
    options = parser.parse_args()
    conditions = options.conditions.split(",")
    if not set(conditions) <= set(CONDITIONS):
        parser.error(f"--conditions takes {', '.join(CONDITIONS)}")

    binaries = [(options.label, options.binary)]
    if options.baseline:
        same = options.baseline_label == options.label  # e.g. two builds of one commit
        binaries.append((options.baseline_label + (" (baseline)" if same else ""), options.baseline))
    rounds, seconds, runs, rig_s, pause_s = MODES["quick" if options.quick else "full"]
    runs = options.runs or runs
    print("\n".join(machine()), flush=True)
    print("== binaries: " + ", ".join(f"{label} = {path}" for label, path in binaries), flush=True)
    with PrivateServer() as server:
        if options.soak:
            sections = {"soak": lambda: report.soak(soak.measure(options.binary, server.env, options.soak_minutes))}
        else:
            sections = {
                "cost": lambda: report.cost(cost.measure(binaries, server.env, rounds, seconds)),
                "rig": lambda: loop_rig(binaries, server.env, conditions, runs, rig_s),
                "backlog": lambda: report.backlog(backlog.measure(options.binary, server.env, pause_s)),
            }
        for name, section in sections.items():
            if options.only in (None, name):
                print("\n".join(section()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
