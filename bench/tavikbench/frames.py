"""Incremental parser of tavikrec's frame stream, with the per-channel
contiguity check every benchmark relies on to prove nothing was lost."""
from __future__ import annotations

import array
import struct
import sys
from dataclasses import dataclass, field

HEADER = struct.Struct("<BdI")  # tag, time of first sample (s), sample count
RATE = 16000
FULL_FRAME = 3200
# Consecutive frame times differ by n / 16000 up to binary64 rounding.
TIME_TOLERANCE = 1e-6


class StreamError(Exception):
    """The bytes are not a sound frame stream."""


@dataclass
class Frame:
    tag: int
    time: float  # of the first sample, in seconds since the capture epoch
    count: int  # samples in the frame
    samples: array.array | None  # signed 16-bit, oldest first; None unless kept
    arrival_ns: int = 0  # reader's CLOCK_MONOTONIC when the frame was complete

    @property
    def end_time(self) -> float:
        return self.time + self.count / RATE


def samples_from(data: bytes) -> array.array:
    samples = array.array("h")
    samples.frombytes(data)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


@dataclass
class FrameParser:
    """Feed bytes as they arrive; get whole frames back. Raises StreamError
    at the first malformed header or discontinuity within a channel. A long
    run can drop the samples and keep only each frame's place."""

    keep_samples: bool = True
    _buffer: bytearray = field(default_factory=bytearray)
    _previous: dict[int, Frame] = field(default_factory=dict)

    def feed(self, data: bytes, arrival_ns: int = 0) -> list[Frame]:
        self._buffer += data
        frames = []
        while len(self._buffer) >= HEADER.size:
            tag, time, count = HEADER.unpack_from(self._buffer)
            if tag > 1 or not 1 <= count <= FULL_FRAME or not time >= 0.0:
                raise StreamError(f"bad header: tag {tag}, time {time}, n {count}")
            size = HEADER.size + 2 * count
            if len(self._buffer) < size:
                break
            samples = samples_from(bytes(self._buffer[HEADER.size:size])) if self.keep_samples else None
            frame = Frame(tag, time, count, samples, arrival_ns)
            del self._buffer[:size]
            self._check_contiguous(frame)
            frames.append(frame)
        return frames

    def _check_contiguous(self, frame: Frame) -> None:
        previous = self._previous.get(frame.tag)
        if previous is not None:
            expected = previous.end_time
            if abs(frame.time - expected) > TIME_TOLERANCE:
                raise StreamError(f"channel {frame.tag}: frame at {frame.time:.6f} s, expected {expected:.6f} s")
        self._previous[frame.tag] = frame

    def finish(self) -> None:
        if self._buffer:
            raise StreamError(f"stream ends inside a frame ({len(self._buffer)} bytes left)")


def channel_samples(frames: list[Frame], tag: int) -> tuple[float, array.array]:
    """The channel's timeline: time of its first sample and every sample.
    REQUIRES: the frames were parsed with their samples kept."""
    mine = [f for f in frames if f.tag == tag]
    joined = array.array("h")
    for frame in mine:
        joined.extend(frame.samples)
    return (mine[0].time if mine else 0.0), joined
