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
class Scheduling:
    """Counters summed over every thread of a process."""
    runs: int  # times a thread was put on a CPU: wake-ups, plus preemptions resumed
    voluntary_switches: int  # times a thread gave up its CPU to wait


def scheduling(pid: int) -> Scheduling:
    """The scheduler's counters of a live process. /proc/PID/schedstat and
    the counts in /proc/PID/status cover the main thread only, so every
    task is read. A thread that ends between two readings takes its counts
    with it; tavikrec's and parecord's threads live as long as the run."""
    runs = switches = 0
    tasks = f"/proc/{pid}/task"
    for tid in os.listdir(tasks):
        try:
            with open(f"{tasks}/{tid}/schedstat") as f:
                runs += int(f.read().split()[2])  # on-CPU ns, runqueue wait ns, run count
            with open(f"{tasks}/{tid}/status") as f:
                switches += next(int(l.split()[1]) for l in f if l.startswith("voluntary_ctxt_switches:"))
        except FileNotFoundError:  # the thread ended since the listing
            continue
    return Scheduling(runs, switches)


@dataclass
class Usage:
    # user + system, from rusage. (ru_maxrss is not used: for a child that
    # Python forked it can carry the parent's size from before the exec.)
    cpu_seconds: float


def reap(pid: int) -> tuple[int, Usage]:
    """Waits for the child and returns its exit status and CPU time."""
    _, status, usage = os.wait4(pid, 0)
    return os.waitstatus_to_exitcode(status), Usage(usage.ru_utime + usage.ru_stime)
