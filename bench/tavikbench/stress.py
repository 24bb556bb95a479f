"""The busy condition: one busy-looping process per CPU at normal priority,
as a build and a browser tab would keep a desktop's cores busy."""
from __future__ import annotations

import os
import subprocess
import sys


class BusyLoops:
    """Context manager: starts the loops on entry and kills them, each by
    its own pid, on the way out (also after a failure)."""

    def __init__(self) -> None:
        self.processes: list[subprocess.Popen] = []

    def __enter__(self) -> "BusyLoops":
        try:
            for _ in range(os.cpu_count() or 1):
                self.processes.append(subprocess.Popen([sys.executable, "-c", "while True: pass"]))
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc) -> None:
        for process in self.processes:
            process.kill()
            process.wait()
