"""Bound on the gap between spawning tavikrec and its capture epoch: the
epoch is its first reading after the command line is parsed, so a whole
`tavikrec --help` run (exec, dynamic linking, parsing, exit) lasts longer."""
from __future__ import annotations

import subprocess

from . import stats
from .capture import monotonic_ns


def help_run_ms(binary: str, runs: int = 7) -> float:
    """Median wall time of `tavikrec --help`, spawn to reaped, in ms."""
    times = []
    for _ in range(runs):
        start = monotonic_ns()
        subprocess.run([binary, "--help"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append((monotonic_ns() - start) / 1e6)
    return stats.median(times)
