"""The frame parser: what it accepts, split anywhere, and what it rejects."""
import struct
import unittest

from tavikbench.frames import FrameParser, StreamError, channel_samples


def frame(tag: int, time: float, samples: list[int]) -> bytes:
    return struct.pack("<BdI", tag, time, len(samples)) + struct.pack(f"<{len(samples)}h", *samples)


class FrameParserTest(unittest.TestCase):
    def test_frames_split_at_every_byte_come_out_whole_and_in_order(self):
        stream = frame(0, 0.5, [1, -2, 3]) + frame(1, 0.0, [7] * 3200) + frame(0, 0.5 + 3 / 16000, [-32768])
        parser = FrameParser()
        frames = []
        for i, byte in enumerate(stream):
            frames += parser.feed(bytes([byte]), arrival_ns=i)
        parser.finish()
        self.assertEqual([(f.tag, f.count) for f in frames], [(0, 3), (1, 3200), (0, 1)])
        self.assertEqual(list(frames[0].samples), [1, -2, 3])
        self.assertEqual(frames[2].arrival_ns, len(stream) - 1)  # stamped when its last byte arrived
        first, samples = channel_samples(frames, 0)
        self.assertEqual((first, list(samples)), (0.5, [1, -2, 3, -32768]))

    def test_gap_or_overlap_within_a_channel_is_rejected(self):
        for late in (0.7 + 2e-6, 0.7 - 2e-6):
            with self.assertRaisesRegex(StreamError, "channel 1"):
                FrameParser().feed(frame(1, 0.5, [0] * 3200) + frame(1, late, [0]))

    def test_a_frame_at_zero_excuses_no_overlap(self):
        with self.assertRaisesRegex(StreamError, "channel 0"):
            FrameParser().feed(frame(0, 0.0, [0] * 3200) + frame(0, 0.178309, [0] * 3200))

    def test_channels_are_checked_apart(self):
        frames = FrameParser().feed(frame(0, 1.0, [0]) + frame(1, 0.0, [0]) + frame(0, 1.0 + 1 / 16000, [0]))
        self.assertEqual(len(frames), 3)

    def test_malformed_headers_are_rejected(self):
        for bad in (frame(2, 0.0, [0]), struct.pack("<BdI", 0, 0.0, 0), struct.pack("<BdI", 0, -1.0, 1),
                    struct.pack("<BdI", 0, 0.0, 3201)):
            with self.assertRaises(StreamError):
                FrameParser().feed(bad)

    def test_stream_ending_inside_a_frame_is_rejected(self):
        parser = FrameParser()
        parser.feed(frame(0, 0.0, [1, 2])[:-1])
        with self.assertRaisesRegex(StreamError, "inside a frame"):
            parser.finish()

    def test_samples_can_be_dropped_keeping_each_frames_place(self):
        frames = FrameParser(keep_samples=False).feed(frame(1, 0.0, [5] * 10))
        self.assertEqual((frames[0].count, frames[0].samples, frames[0].end_time), (10, None, 10 / 16000))


if __name__ == "__main__":
    unittest.main()
