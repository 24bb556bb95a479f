"""Click onsets, inserted zeros, alignment, drift, the latency arithmetic
and the targets of the loop-rig runs, on synthetic signals with known
answers; and the per-thread scheduler counters."""
import array
import os
import struct
import threading
import time
import unittest

from tavikbench import clicks, fidelity, procstat, stats
from tavikbench.frames import Frame, FrameParser


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


class OnsetTimesTest(unittest.TestCase):
    def test_onsets_keep_their_time_across_frames(self):
        samples = array.array("h", clicks.click_train(1.0, 4000, lead_in=3198))  # first click straddles frames
        start = 0.0217  # where the microphone's first sample lies
        stream = b""
        for index in range(0, len(samples), 3200):
            chunk = samples[index:index + 3200]
            time = start + index / 16000
            stream += struct.pack("<BdI", 0, time, len(chunk)) + chunk.tobytes()
        times = fidelity.onset_times(FrameParser().feed(stream), 0)
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
