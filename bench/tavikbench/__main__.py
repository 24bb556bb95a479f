"""Entry point: python3 -m tavikbench BINARY FLOOR_BINARY [--quick | --soak]."""
from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys

from . import backlog, cost, fidelity, report, soak, startup
from .server import PrivateServer

MODES = {  # rounds, seconds per cost run, fidelity runs, click-train seconds, backlog pause
    "full": (5, 12.0, 3, 22.0, 20.0),
    "quick": (2, 4.0, 1, 8.0, 8.0),
}


def machine() -> list[str]:
    model = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    pulse = subprocess.run(["pulseaudio", "--version"], capture_output=True, text=True).stdout.strip()
    return [f"== machine: {os.cpu_count()} CPUs, {model}, kernel {platform.release()}, {pulse}, "
            f"load average {os.getloadavg()[0]:.2f}"]


def main() -> int:
    parser = argparse.ArgumentParser(prog="bench/run")
    parser.add_argument("binary")
    parser.add_argument("floor_binary")
    parser.add_argument("--quick", action="store_true", help="a short version of every measurement")
    parser.add_argument("--soak", action="store_true", help="only the soak run")
    parser.add_argument("--soak-minutes", type=float, default=60.0)
    options = parser.parse_args()

    out = machine()
    print("\n".join(out), flush=True)
    with PrivateServer() as server:
        if options.soak:
            sections = [lambda: report.soak(soak.measure(options.binary, server.env, options.soak_minutes))]
        else:
            rounds, seconds, fidelity_runs, clicks_s, pause_s = MODES["quick" if options.quick else "full"]
            sections = [
                lambda: report.cost(cost.measure(options.binary, options.floor_binary, server.env, rounds, seconds)),
                lambda: report.fidelity([fidelity.measure(options.binary, server.env, clicks_s)
                                         for _ in range(fidelity_runs)], startup.help_run_ms(options.binary)),
                lambda: report.backlog(backlog.measure(options.binary, server.env, pause_s)),
            ]
        for section in sections:
            lines = section()
            print("\n".join(lines), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
