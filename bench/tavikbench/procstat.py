"""Per-process cost readings from /proc and from the child's rusage."""
from __future__ import annotations

import os
from dataclasses import dataclass


def memory_kib(pid: int) -> dict[str, int]:
    """VmRSS and VmHWM of a live process, in KiB."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


def cpu_seconds(pid: int) -> float:
    """utime + stime of a live process (all its threads), from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    # After the command name: state is field 3, utime 14 and stime 15.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@dataclass
class Usage:
    # user + system, from rusage. (ru_maxrss is not used: for a child that
    # Python forked it can carry the parent's size from before the exec.)
    cpu_seconds: float


def reap(pid: int) -> tuple[int, Usage]:
    """Waits for the child and returns its exit status and CPU time."""
    _, status, usage = os.wait4(pid, 0)
    return os.waitstatus_to_exitcode(status), Usage(usage.ru_utime + usage.ru_stime)
