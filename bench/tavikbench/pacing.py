"""A sound device whose clock is not the system's: the bench writes a pipe
source's FIFO, or drains a pipe sink's, at 16,000 × (1 + ppm/10⁶) samples
per second of CLOCK_MONOTONIC. How much is due is computed from the start
instant alone, so a late wake-up is made up at the next one and the pace
never drifts with scheduling; each wake-up moves a few milliseconds of
audio."""
from __future__ import annotations

import errno
import fcntl
import os
import struct
import termios
import threading
from dataclasses import dataclass
from fractions import Fraction

from .capture import monotonic_ns
from .frames import RATE

TICK_NS = 5_000_000  # 80 samples per wake-up
BYTES_PER_SAMPLE = 2


@dataclass(frozen=True)
class Pace:
    """The schedule of a device `ppm` fast (negative: slow) started at
    `start_ns`. Exact: 600 s at ±500 ppm is counted to the sample. With a
    `still_ns` the device stands still that long once, `still_at_ns` after
    the start, and then goes on where it stopped (nothing lost)."""
    start_ns: int
    ppm: float
    still_at_ns: int = 0
    still_ns: int = 0

    @property
    def rate(self) -> Fraction:  # samples per second
        return RATE * (1 + Fraction(str(self.ppm)) / 10**6)

    def samples_due(self, now_ns: int) -> int:
        """Samples the device has moved by `now_ns`."""
        elapsed = now_ns - self.start_ns
        if self.still_ns and elapsed > self.still_at_ns:
            elapsed -= min(self.still_ns, elapsed - self.still_at_ns)
        return max(0, int(elapsed * self.rate // 10**9))

    def next_deadline(self, now_ns: int, tick_ns: int = TICK_NS) -> int:
        """The first tick of the schedule after `now_ns`; ticks missed while
        the thread was not running are skipped, not replayed."""
        return self.start_ns + ((now_ns - self.start_ns) // tick_ns + 1) * tick_ns


class PacedPipe:
    """Context manager: a thread that keeps a FIFO at `pace`. With a
    `pattern` it writes it, repeated without end, into a pipe source's FIFO;
    without one it reads a pipe sink's FIFO and drops what it reads. The fd
    is non-blocking: what the pipe cannot take or give now stays due, and
    the most that stayed due after a wake-up is reported as `worst_behind_ms`
    (with `worst_late_ms`, the latest wake-up), so a run shows whether the
    device really kept the pace."""

    def __init__(self, path: str, pace: Pace, pattern: bytes | None = None, pipe_bytes: int | None = None) -> None:
        self.pace = pace
        self.pattern = pattern
        self.fd = os.open(path, (os.O_WRONLY if pattern else os.O_RDONLY) | os.O_NONBLOCK | os.O_CLOEXEC)
        if pipe_bytes:
            try:
                self._resize(pipe_bytes)
            except BaseException:
                os.close(self.fd)
                raise
        self.done_bytes = 0
        self.worst_late_ms = 0.0
        self.worst_behind_ms = 0.0
        self.error: str | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _resize(self, size: int) -> None:
        """Sets what the pipe holds: a device's buffer. A pipe cannot shrink
        below what it holds, so a drained pipe is emptied first (the writer
        may refill it in between: a few tries)."""
        for _ in range(100):
            try:
                while self.pattern is None and os.read(self.fd, 1 << 16):
                    pass
            except BlockingIOError:
                pass
            try:
                fcntl.fcntl(self.fd, fcntl.F_SETPIPE_SZ, size)
                return
            except OSError as error:
                if error.errno != errno.EBUSY:
                    raise
        raise RuntimeError(f"the pipe stays fuller than {size} bytes")

    def __enter__(self) -> "PacedPipe":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()
        os.close(self.fd)

    def taken(self) -> tuple[int, int]:
        """(monotonic ns, bytes the server has taken out of a source's FIFO
        so far): what was written less what the FIFO still holds. Two of
        them give the pace the server really reads at, which a server that
        runs the device on a clock of its own does not match."""
        unread = struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0\0\0\0"))[0]
        return monotonic_ns(), self.done_bytes - unread

    def _run(self) -> None:
        deadline = self.pace.start_ns
        try:
            while not self._stop.wait(max(0, deadline - monotonic_ns()) / 1e9):
                now = monotonic_ns()
                self.worst_late_ms = max(self.worst_late_ms, (now - deadline) / 1e6)
                due = self.pace.samples_due(now) * BYTES_PER_SAMPLE
                while self.done_bytes < due and self._move(due - self.done_bytes):
                    pass
                behind = (due - self.done_bytes) / BYTES_PER_SAMPLE / RATE * 1e3
                self.worst_behind_ms = max(self.worst_behind_ms, behind)
                deadline = self.pace.next_deadline(now)
        except OSError as error:  # reported with the run's figures
            self.error = str(error)

    def _move(self, count: int) -> bool:
        """Moves up to `count` bytes; False when the pipe takes or gives none now."""
        try:
            if self.pattern is None:
                moved = len(os.read(self.fd, count))
            else:
                offset = self.done_bytes % len(self.pattern)
                moved = os.write(self.fd, self.pattern[offset:offset + count])
        except OSError as error:
            if error.errno == errno.EAGAIN:
                return False
            raise
        self.done_bytes += moved
        return moved > 0
