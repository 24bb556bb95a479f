"""Click onsets, inserted zeros, alignment, drift, the latency arithmetic
and the targets of the loop-rig runs, the errors of the drift rig's clicks,
on synthetic signals with known answers; the drift rig's pace; and the
per-thread scheduler counters."""
import array
import fcntl
import os
import struct
import tempfile
import threading
import time
import unittest

from tavikbench import __main__, clicks, cost, drift, fidelity, pacing, procstat, report, server, stats
from tavikbench.capture import monotonic_ns
from tavikbench.frames import Frame, FrameParser


def frames_of(tag: int, start: float, samples: array.array) -> bytes:
    """A channel's stream: full frames from `start`, the last one short."""
    stream = b""
    for index in range(0, len(samples), 3200):
        chunk = samples[index:index + 3200]
        stream += struct.pack("<BdI", tag, start + index / 16000, len(chunk)) + chunk.tobytes()
    return stream


class ClickTest(unittest.TestCase):
    def test_onsets_of_a_generated_train_fall_on_the_click_samples(self):
        for background in (0, 300):
            samples = array.array("h", clicks.click_train(2.0, 4000, lead_in=100, background=background))
            self.assertEqual(clicks.onsets(samples, 4000), [100, 4100, 8100, 12100, 16100, 20100, 24100, 28100])
            self.assertEqual(min(samples), background)

    def test_inserted_zeros_count_only_between_sounds(self):
        samples = array.array("h", [0, 0, 5, 5, 0, 0, 0, 5, 0, 5, 5, 0, 0])
        self.assertEqual(clicks.inserted_zero_runs(samples), [(4, 3), (8, 1)])
        self.assertEqual(clicks.inserted_zero_runs(array.array("h", [0, 0, 7, -7])), [])

    def test_a_click_ringing_within_half_a_spacing_counts_once(self):
        samples = array.array("h", [0] * 5000)
        samples[1000] = samples[1500] = -20000  # negative peaks count too
        samples[3600] = 15000
        self.assertEqual(clicks.onsets(samples, 4000), [1000, 3600])

    def test_offsets_pair_nearest_onsets_and_skip_unmatched(self):
        mic = [0.98, 1.23, 1.98]  # the system channel missed the click at 1.25
        system = [1.0, 2.0, 2.5]
        offsets = clicks.pair_offsets(mic, system, window=0.125)
        self.assertEqual([round(o, 6) for o in offsets], [-0.02, -0.02])

    def test_drift_of_a_stretched_train_with_a_missed_click(self):
        period = 0.25 * (1 + 100e-6)  # 100 ppm slow
        times = [k * period for k in range(40) if k != 17]
        self.assertAlmostEqual(clicks.drift_ppm(times, 4000), 100.0, places=3)
        self.assertAlmostEqual(clicks.drift_ppm([k * 0.25 for k in range(40)], 4000), 0.0, places=6)
        # Ten minutes 500 ppm slow: the clicks end 300 ms late, past half a spacing.
        long_run = [k * 0.25 * (1 + 500e-6) for k in range(2400)]
        self.assertAlmostEqual(clicks.drift_ppm(long_run, 4000), 500.0, places=3)


class OnsetTimesTest(unittest.TestCase):
    def test_onsets_keep_their_time_across_frames(self):
        samples = array.array("h", clicks.click_train(1.0, 4000, lead_in=3198))  # first click straddles frames
        start = 0.0217  # where the microphone's first sample lies
        times = fidelity.onset_times(FrameParser().feed(frames_of(0, start, samples)), 0)
        self.assertEqual(len(times), 4)
        for k, t in enumerate(times):
            self.assertAlmostEqual(t, start + (3198 + 4000 * k) / 16000, places=9)


class LatencyArithmeticTest(unittest.TestCase):
    def test_delivery_latency_is_arrival_minus_the_last_samples_capture_time(self):
        spawn = 5_000_000_000
        # 3200 samples from 1.0 s: the last one is captured at 1.2 s - 1 sample.
        done = Frame(1, 1.0, 3200, None, arrival_ns=spawn + 1_250_000_000)
        [latency] = fidelity.delivery_latencies_ms([done], spawn)
        self.assertAlmostEqual(latency, 50.0 + 1000 / 16000)

    def test_percentile_interpolates_between_ranks(self):
        self.assertEqual(stats.percentile([4, 1, 3, 2, 5], 0.95), 4.8)
        self.assertEqual(stats.percentile([7], 0.95), 7)


class SummaryTest(unittest.TestCase):
    @staticmethod
    def run_with(offsets, fills=(), latencies=(10.0,)):
        channel = fidelity.ChannelTiming(len(offsets), 0.0, 10.0, list(fills), list(latencies))
        return fidelity.FidelityRun(list(offsets), 10.0, 0, {"mic": channel, "system": channel})

    def test_a_run_is_clean_only_without_fills_and_with_a_spread_of_at_most_1_ms(self):
        summary = fidelity.Summary([
            self.run_with([-40.0, -39.0]),
            self.run_with([-40.0, -38.9]),  # spread 1.1 ms
            self.run_with([-40.0, -40.0], fills=[(0.04, 31.0)]),  # a fill before the first click
        ])
        self.assertEqual(summary.clean_runs, 1)
        self.assertAlmostEqual(summary.median_range_ms, 0.55)  # medians -39.5, -39.45, -40

    def test_latency_pools_every_frame_of_every_run(self):
        summary = fidelity.Summary([self.run_with([0.0], latencies=[1.0, 2.0, 3.0]),
                                    self.run_with([0.0], latencies=[100.0])])
        median, p95 = summary.latency_ms("mic")
        self.assertEqual(median, 2.5)
        self.assertAlmostEqual(p95, 3 + 0.85 * 97)


class CostReportTest(unittest.TestCase):
    def test_the_echo_cancelling_run_is_judged_on_cpu_against_its_own_target(self):
        def contestant(name, cpu):
            return cost.Contestant(name, [cost.Sample(cpu, 100.0, 50.0, 6000)])
        lines = report.cost([contestant("abc --mic --system", 3.0), contestant("abc ... --cancel-echo", 7.2),
                             contestant(cost.PAIR, 3.0)])
        self.assertIn("CPU 1.00x the pair (<= 1.0x: ok)", lines[-2])
        self.assertIn("CPU 2.40x the pair (<= 2.5x: ok)", lines[-1])


class DriftRigTest(unittest.TestCase):
    # Ten minutes of a device 500 ppm fast on a timeline that counts its
    # samples: click k sits at k * 0.25 s. Click 17 is missed, and 30 ms of
    # zeros were inserted before click 1200.
    TIMES = [k * 0.25 + (0.03 if k >= 1200 else 0.0) for k in range(2400) if k != 17]

    def test_each_click_is_compared_with_the_time_that_really_passed(self):
        channel = drift.DriftChannel(drift.click_errors(self.TIMES, 500.0), [], 0)
        period = 0.25 / 1.0005
        self.assertEqual(len(channel.errors), 2399)
        self.assertAlmostEqual(channel.errors[17][0], 18 * period)  # the missed click leaves its number free
        for mark, expected in ((10.0, 40 * 0.25 * 0.0005 / 1.0005), (590.0, 2361 * 0.25 * 0.0005 / 1.0005 + 0.03)):
            self.assertAlmostEqual(channel.error_at(mark), 1e3 * expected, places=6)
        self.assertIsNone(channel.error_at(700.0))
        self.assertAlmostEqual(channel.worst_ms(after=False), 1e3 * 240 * 0.25 * 0.0005 / 1.0005, places=6)
        self.assertAlmostEqual(channel.worst_ms(after=True), 1e3 * (2399 * 0.25 * 0.0005 / 1.0005 + 0.03), places=6)
        self.assertAlmostEqual(channel.drift_ppm, 500.0, places=3)  # the step is not drift
        on_time = drift.DriftChannel(drift.click_errors([k * 0.25 / 0.9995 for k in range(100)], -500.0), [], 0)
        self.assertAlmostEqual(on_time.worst_ms(after=False), 0.0, places=6)
        self.assertIsNone(on_time.worst_ms(after=True))

    def test_a_capture_is_read_channel_by_channel(self):
        samples = array.array("h", clicks.click_train(3.0, 4000, lead_in=3000, background=300))
        cut = array.array("h", [20000, 20000]) + samples  # the channel starts inside a click
        cut[20000:20160] = array.array("h", [0] * 160)
        stream = frames_of(0, 0.1, cut) + frames_of(1, 0.0, samples)
        warning = "tavikrec: channel {} delivered a stamp 31 ms behind its own timeline; keeping the sample count"
        lines = [warning.format(0), warning.format(1), warning.format(1), "tavikrec: ready"]
        frames = FrameParser().feed(stream)
        mic, system = (drift.analyse(frames, tag, 0.0, lines) for tag in (0, 1))
        self.assertEqual([t for t, _ in mic.errors], [0.25 * k for k in range(12)])
        self.assertAlmostEqual(max(abs(e) for _, e in mic.errors), 0.0, places=6)
        self.assertEqual(mic.zero_runs, [(0.1 + 20000 / 16000, 10.0)])
        self.assertEqual((mic.late_lines, system.late_lines, system.zero_runs), (1, 2, []))

    def test_the_report_names_the_server_gives_every_mark_and_judges_the_worst_run(self):
        info = "Server String: unix:/tmp/x/native\nServer Name: {}\nServer Version: {}\nDefault Source: mic\n"
        self.assertEqual(server.describe(info.format("pulseaudio", "16.1")), "pulseaudio 16.1")
        self.assertEqual(server.describe(info.format("PulseAudio (on PipeWire 0.3.65)", "15.0.0")),
                         "PulseAudio (on PipeWire 0.3.65)")
        runs = [drift.DriftRun("pulseaudio 16.1", 500.0, {"mic": drift.DriftChannel(
            drift.click_errors([k * 0.25 + shift for k in range(300)], 500.0), zeros, 0)}, {"mic": (1.0, 0.0)})
            for shift, zeros in ((0.0, []), (0.0, [(3.0, 30.0)]))]
        lines = report.drift("pulseaudio 16.1", 500.0, drift.Group(runs, failed=1))
        self.assertIn("3 runs, 1 failed", lines[0])
        self.assertIn("10 s +5.00 [+5.00 … +5.00], 20 s", lines[1])
        self.assertIn(", 70 s +34.98 ", lines[1])
        self.assertIn("zero runs inside the signal 0.5 [0 … 1] (15.0 [0.0 … 30.0] ms)", lines[2])
        self.assertIn("no zero run: MISSED; no late-stamp line: ok", lines[3])
        self.assertIn("error at 10 s steps +5.00/", report.drift_run(1, runs[0]))

    def test_a_server_that_does_not_start_is_reported_and_leaves_nothing_behind(self):
        before = set(os.listdir("/tmp"))
        prefix, server.PIPEWIRE14_PREFIX = server.PIPEWIRE14_PREFIX, "/nonexistent/pipewire-1.4"
        try:
            lines = __main__.drift_rig("/nonexistent/tavikrec", ["pipewire14"], [500.0], 1.0, 1, "/nonexistent/skewed_source")
        finally:
            server.PIPEWIRE14_PREFIX = prefix
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], "^== drift, pipewire14: PipeWire 1.4 is not installed in /nonexistent")
        self.assertEqual({n for n in set(os.listdir("/tmp")) - before if n.startswith("tavikbench.")}, set())


class PaceTest(unittest.TestCase):
    def test_what_is_due_counts_every_sample_and_never_drifts(self):
        start = 123_456_789
        for ppm, per_ten_minutes in ((500, 9_604_800), (-500, 9_595_200), (0.25, 9_600_002)):
            pace = pacing.Pace(start, ppm)
            self.assertEqual(pace.samples_due(start + 600 * 10**9), per_ten_minutes)
            self.assertEqual(pace.samples_due(start - 1), 0)
        late = pacing.Pace(start, 0).next_deadline(start + 12_300_000, tick_ns=5_000_000)
        self.assertEqual(late, start + 15_000_000)  # the missed ticks are skipped
        self.assertEqual(pacing.Pace(start, 0).next_deadline(start + 5_000_000, 5_000_000), start + 10_000_000)
        # Standing still 20 ms a minute in: nothing moves meanwhile, then it goes on where it stopped.
        still = pacing.Pace(start, 0, still_at_ns=60 * 10**9, still_ns=20_000_000)
        self.assertEqual(still.samples_due(start + 60 * 10**9 + 10_000_000), 960_000)
        self.assertEqual(still.samples_due(start + 600 * 10**9), 9_600_000 - 320)

    def test_a_fed_fifo_carries_the_pattern_whole_and_a_drained_one_gives_no_more_than_is_due(self):
        with tempfile.TemporaryDirectory() as root:
            fifo = os.path.join(root, "fifo")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)  # full after 128 ms of audio
            pattern = bytes(range(1, 251))  # 125 samples: ticks end inside it
            fed = b""
            with pacing.PacedPipe(fifo, pacing.Pace(monotonic_ns(), 500), pattern) as feed:
                time.sleep(0.3)  # the pipe refuses what is due beyond it
                fed += os.read(reader, 1 << 16)
                time.sleep(0.05)  # and takes it once there is room
            fed += os.read(reader, 1 << 16)
            self.assertGreater(feed.worst_behind_ms, 100)
            self.assertGreater(len(fed), 4096)
            self.assertEqual(fed, (pattern * (len(fed) // len(pattern) + 1))[:len(fed)])
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 1 << 16)
            self.assertEqual(os.write(writer, bytes(60000)), 60000)
            pace = pacing.Pace(monotonic_ns(), 0)
            with pacing.PacedPipe(fifo, pace) as drain:
                time.sleep(0.2)
            self.assertGreater(drain.done_bytes, 0)
            self.assertLessEqual(drain.done_bytes, 2 * pace.samples_due(monotonic_ns()))
            self.assertEqual(len(os.read(reader, 1 << 16)), 60000 - drain.done_bytes)
            os.close(writer)
            os.close(reader)

    def test_a_device_whose_other_end_goes_away_fails_its_run(self):
        with tempfile.TemporaryDirectory() as root:
            fifo = os.path.join(root, "fifo")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            with pacing.PacedPipe(fifo, pacing.Pace(monotonic_ns(), 0), bytes(8)) as feed:
                time.sleep(0.05)
                os.close(reader)  # the server unloaded the pipe source
                time.sleep(0.05)
            self.assertIn("Broken pipe", feed.error)
            with self.assertRaisesRegex(RuntimeError, "mic FIFO: .*Broken pipe"):
                drift._run("pulseaudio 16.1", 0.0, None, ["mic"], {"mic": feed})


class SchedulingTest(unittest.TestCase):
    def test_counters_include_every_thread(self):
        slept, done = threading.Event(), threading.Event()

        def sleep_then_wait():
            for _ in range(50):
                time.sleep(0.001)
            slept.set()
            done.wait()  # a thread that ended would take its counts with it

        before = procstat.scheduling(os.getpid())
        sleeper = threading.Thread(target=sleep_then_wait)
        sleeper.start()
        slept.wait()
        after = procstat.scheduling(os.getpid())
        done.set()
        sleeper.join()
        # Each sleep is a voluntary switch and a run on the CPU afterwards.
        self.assertGreaterEqual(after.runs - before.runs, 50)
        self.assertGreaterEqual(after.voluntary_switches - before.voluntary_switches, 50)


if __name__ == "__main__":
    unittest.main()
