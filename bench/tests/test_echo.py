"""The echo rig's figures on synthetic signals with known answers: ERLE,
the double-talk gain fit, the echo and its reflections, the markers, the
alignment of a run's channels, and what the microphone's FIFO carries."""
import array
import math
import os
import random
import tempfile
import time
import types
import unittest

from tavikbench import echo, echo_drift, report
from tavikbench.capture import monotonic_ns

RATE = 16000


def noise(seed: int, count: int, level: int = 4000) -> list[int]:
    rng = random.Random(seed)
    return [rng.randint(-level, level) for _ in range(count)]


def noise_scene(seed: int, delay_ms: float) -> echo.Tracks:
    """The rig's scene with noise for both voices, the echo at 0 dB."""
    speech = echo.Speech(array.array("h", noise(seed, 26 * RATE)), array.array("h", noise(seed + 1, 14 * RATE)))
    return echo.make_tracks(speech, delay_ms, 0.0)


class MetricsTest(unittest.TestCase):
    def test_erle_is_the_echo_against_what_is_left(self):
        e = noise(1, 4000)
        self.assertAlmostEqual(echo.erle_db(e, [v / 10 for v in e]), 20.0, places=6)
        self.assertAlmostEqual(echo.erle_db(e, e), 0.0, places=6)
        self.assertAlmostEqual(echo.erle_db(e, [-2 * v for v in e]), -6.02, places=2)  # made worse
        self.assertEqual(echo.erle_db(e, [0] * 4000), math.inf)

    def test_the_gain_fit_finds_the_near_end_under_the_echo(self):
        near, e = noise(2, 16000), noise(3, 16000)
        # The near end halved, a tenth of the echo left.
        gain, reduction = echo.gain_fit([0.5 * n + 0.1 * v for n, v in zip(near, e)], near, e)
        self.assertAlmostEqual(gain, -6.02, delta=0.05)
        self.assertAlmostEqual(reduction, 20.0, delta=0.2)
        # No canceller: the near end whole, the echo whole.
        gain, reduction = echo.gain_fit([n + v for n, v in zip(near, e)], near, e)
        self.assertAlmostEqual(gain, 0.0, delta=0.1)
        self.assertAlmostEqual(reduction, 0.0, delta=0.1)
        # A near end taken out altogether is no gain at all.
        self.assertLess(echo.gain_fit(e, near, e)[0], -20)

    def test_the_shaped_fit_leaves_the_near_ends_filtering_out_of_the_echo(self):
        near, e = noise(5, 8000), noise(6, 8000)
        # The near end through a short filter, as a canceller's notch shapes
        # it, and a tenth of the echo: a gain alone takes the shaping for echo.
        shaped = [0.8 * n + 0.3 * p + 0.1 * v for n, p, v in zip(near, [0.0] + near[:-1], e)]
        self.assertLess(echo.gain_fit(shaped, near, e)[1], 12)
        self.assertAlmostEqual(echo.shaped_fit(shaped, near, e), 20.0, delta=0.3)

    def test_the_lag_of_a_delayed_copy_is_found_to_the_sample(self):
        reference = noise(4, 3000)
        delayed = [0] * 37 + reference
        self.assertEqual(echo.best_lag(delayed, reference, range(30, 45), 100, 2000), 37)
        self.assertEqual(echo.best_lag(delayed, reference, range(-5, 5), 100, 2000), 4)  # the nearest it may

    def test_the_echo_has_its_main_path_and_three_weaker_reflections(self):
        far = [0.0] * 2000
        far[0] = 1000.0
        out = echo.echo_of(far, 48, -3.0)
        taps = {i: round(v, 1) for i, v in enumerate(out) if v}
        main = 1000 * 10 ** (-3 / 20)
        self.assertEqual(taps, {48: round(main, 1), 48 + 112: round(main * 10 ** (-9 / 20), 1),
                                48 + 304: round(main * 10 ** (-14 / 20), 1), 48 + 496: round(main / 10, 1)})

    def test_a_marker_is_found_at_its_peak_even_when_it_rings(self):
        samples = [0] * 100 + [3000, -9000, 11000, 19000, 12000, -8000] + [0] * 50
        self.assertEqual(echo.marker_index(samples), 103)
        self.assertEqual(echo.marker_index(samples, 110), None)
        self.assertEqual(echo.marker_index([9999, -9999]), None)


class TracksTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tracks = noise_scene(5, 20.0)

    def test_the_scene_puts_each_voice_where_it_belongs(self):
        t = self.tracks
        mic = array.array("h")
        mic.frombytes(t.mic)
        self.assertEqual(t.delay, 320)
        self.assertEqual(t.far[t.marker], echo.MARKER)
        a, b = t.window("far after")
        self.assertEqual(max(map(abs, t.near[a:b])), 0)
        self.assertEqual([mic[i] for i in range(a, b)], [round(e) for e in t.echo[a:b]])
        a, b = t.window("near alone")
        self.assertEqual(max(map(abs, t.echo[a:b])), 0)
        self.assertGreater(max(map(abs, t.near[a:b])), 0)
        # The echo follows the far end by the delay, at its level (0 dB),
        # alone until the first reflection 7 ms later.
        self.assertEqual(t.echo[t.start + 320:t.start + 432], list(t.far[t.start:t.start + 112]))
        self.assertEqual(max(map(abs, t.echo[:t.start + 320])), 0)

    def test_a_run_is_aligned_through_the_markers_and_measured(self):
        t = self.tracks
        near = t.near
        # Channel 0 starts 1234 samples before the far end's grid (and 2
        # more than the markers said), channel 1 777 before; the canceller
        # left a tenth of the echo and halved nothing.
        ch0 = array.array("h", [0] * 1236 + [round(n + e / 10) for n, e in zip(near, t.echo)])
        ch1 = array.array("h", [0] * 777) + t.far
        run = echo.analyse("test", t, 0.0, True, ch0, 1234, ch1, 777, (1.0, 0.0))
        self.assertEqual(run.align_samples, 2)
        for name, value in run.erle_db.items():
            self.assertAlmostEqual(value, 20.0, delta=0.1, msg=name)
        self.assertAlmostEqual(run.near_change_db, 0.0, places=3)
        self.assertAlmostEqual(run.double_gain_db, 0.0, delta=0.1)
        self.assertAlmostEqual(run.double_reduction_db, 20.0, delta=0.3)
        self.assertAlmostEqual(run.double_reduction_shaped_db, 20.0, delta=0.3)
        self.assertIsNone(run.measured_delay_ms)
        # Without a canceller: the microphone whole, the echo 20 ms after channel 1.
        ch0 = array.array("h", [0] * 1234)
        ch0.frombytes(t.mic)
        run = echo.analyse("test", t, 0.0, False, ch0, 1234, ch1, 777, (1.0, 0.0))
        self.assertEqual((run.align_samples, run.exact, run.measured_delay_ms), (0, True, 20.0))
        self.assertAlmostEqual(run.erle_db["far after"], 0.0, places=4)
        line = report.echo_run(1, run)
        self.assertIn("D 20 ms, echo +0 dB, plain run 1", line)
        self.assertIn("echo found 20.00 ms after channel 1", line)
        group = report.echo("test", 20, 0, True, echo.Group([run, run]))
        self.assertTrue(any("(ok)" in l for l in group[2:]))
        # A microphone that the server moved by 3 samples during the run.
        a, _ = t.window("near alone")
        moved = ch0[:1234 + a - 8000] + array.array("h", [0] * 3) + ch0[1234 + a - 8000:]
        with self.assertRaisesRegex(RuntimeError, "moved by 3 samples"):
            echo.analyse("test", t, 0.0, False, moved, 1234, ch1, 777, (1.0, 0.0))


MIC_GRID = os.environ.get("MIC_GRID", os.path.join(os.path.dirname(__file__), "../../build-bench/bench/mic_grid"))


class DriftingMicrophoneTest(unittest.TestCase):
    """The far-only scene with a microphone whose clock runs fast: its track
    on the microphone's grid (bench/mic_grid) and the run's figures."""

    @classmethod
    def setUpClass(cls):
        if not os.access(MIC_GRID, os.X_OK):
            raise unittest.SkipTest(f"no {MIC_GRID}: cmake --build build-bench --target mic_grid (or set MIC_GRID)")

    def test_the_track_is_the_room_sampled_on_the_microphones_grid(self):
        tracks = noise_scene(8, 20.0)
        self.assertEqual(echo_drift.drifting_tracks(tracks, 0, MIC_GRID).mic, tracks.mic)
        # A 1 kHz tone heard by a microphone 300 ppm fast: 300 ppm more
        # samples, and the tone at 1000 / 1.0003 Hz on its grid.
        tone = array.array("h", (round(8000 * math.sin(2 * math.pi * 1000 * i / RATE)) for i in range(2 * RATE)))
        heard = array.array("h")
        heard.frombytes(echo_drift.on_mic_grid(tone.tobytes(), 300, MIC_GRID))
        self.assertEqual(len(heard), 32010)
        expected = [8000 * math.sin(2 * math.pi * 1000 * k / 1.0003 / RATE) for k in range(len(heard))]
        inner = range(64, len(heard) - 64)  # the kernel reaches past the tone's ends
        self.assertLessEqual(max(abs(heard[k] - expected[k]) for k in inner), 2)

    def test_erle_is_reported_per_window_and_judged_after_the_first_two_minutes(self):
        speech = echo.Speech(array.array("h", noise(9, 150 * RATE)), array.array("h"))
        tracks = echo.make_tracks(speech, 20.0, 0.0, echo_drift.far_only(150))
        # A canceller that leaves a tenth of the echo for the first minute, a
        # hundredth after; channel 0 starts 500 samples before the far end.
        minute = tracks.start + 60 * RATE
        out = [e / 10 if i < minute else e / 100 for i, e in enumerate(tracks.echo)]
        lines = ["tavikrec: mic clock runs 299 ppm fast; resampling to keep time"]
        mic = types.SimpleNamespace(worst_late_ms=1.0, worst_behind_ms=0.0, most_held_ms=60.0)
        scene = echo.SceneCapture(types.SimpleNamespace(lines=lines), [0] * 500 + out, 500, None, 0, mic)
        run = echo_drift.analyse("test", tracks, 150, 0.0, True, scene)
        self.assertEqual([(a, b) for a, b, _ in run.erle], [(0, 30), (30, 60), (60, 90), (90, 120), (120, 150)])
        for (a, _, db), want in zip(run.erle, (20, 20, 40, 40, 40)):
            self.assertAlmostEqual(db, want, delta=0.01, msg=a)
        self.assertAlmostEqual(run.steady_db, 40, delta=0.01)
        block = report.echo_drift(1, run)
        self.assertIn("worst window +40.0 dB (target every window >= 30 dB: ok)", block[-3])
        self.assertIn("299 ppm fast", block[-2])
        # The capture must hold the whole scene.
        scene.ch0 = scene.ch0[:-RATE]
        with self.assertRaisesRegex(RuntimeError, "ended before the scene"):
            echo_drift.analyse("test", tracks, 150, 0.0, True, scene)


def drain(fd: int) -> bytes:
    try:
        return os.read(fd, 1 << 16)
    except BlockingIOError:
        return b""


class MicrophoneTest(unittest.TestCase):
    def test_the_fifo_carries_silence_the_marker_then_the_track_from_its_offset(self):
        track = array.array("h", range(1, 4001)).tobytes()
        with tempfile.TemporaryDirectory() as root:
            fifo = os.path.join(root, "fifo")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            got = bytearray()
            with echo.EchoMicrophone(fifo, track) as mic:
                time.sleep(0.05)
                mic.marker_at = mic.written + 800  # 50 ms on
                time.sleep(0.1)
                mic.shift = 3000 - mic.written  # from here on: the track's sample 3000 on
                deadline = monotonic_ns() + 10**9
                while (mic.armed_at is None or mic.written < mic.armed_at + 1200) and monotonic_ns() < deadline:
                    got += drain(reader)
                    time.sleep(0.01)
            got += drain(reader)
            os.close(reader)
        samples = array.array("h")
        samples.frombytes(bytes(got[:len(got) // 2 * 2]))
        armed = mic.armed_at
        self.assertEqual([i for i, v in enumerate(samples[:armed]) if v], [mic.marker_at])
        self.assertEqual(samples[mic.marker_at], echo.MARKER)
        # The track from the offset, then silence past its end.
        expected = [i + mic.shift + 1 if i + mic.shift < 4000 else 0 for i in range(armed, len(samples))]
        self.assertEqual(list(samples[armed:]), expected)
        self.assertGreater(len(samples) - armed, 1000)

    def test_a_backlog_left_by_a_reader_that_did_not_read_is_dropped_in_whole_samples(self):
        with tempfile.TemporaryDirectory() as root:
            fifo = os.path.join(root, "fifo")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            with echo.EchoMicrophone(fifo, b"") as mic:
                time.sleep(0.3)  # nobody reads: 300 ms pile up beyond the prefill
                self.assertGreater(mic.held_ms(), 250)
                mic.drain()
                self.assertLess(mic.held_ms(), echo.PREFILL_MS + 20)
                mic.marker_at = mic.written + 80
                time.sleep(0.1)
            got = drain(reader)
            os.close(reader)
        samples = array.array("h")
        samples.frombytes(got[:len(got) // 2 * 2])
        self.assertEqual([v for v in samples if v], [echo.MARKER])


if __name__ == "__main__":
    unittest.main()
