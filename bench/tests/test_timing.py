"""Click onsets, alignment, drift and the latency arithmetic of the
timing-fidelity run, on synthetic signals with known answers."""
import array
import struct
import unittest

from tavikbench import clicks, fidelity, probes, stats
from tavikbench.frames import Frame, FrameParser


class ClickTest(unittest.TestCase):
    def test_onsets_of_a_generated_train_fall_on_the_click_samples(self):
        raw = clicks.click_train(2.0, 4000, lead_in=100)
        samples = array.array("h", raw)
        self.assertEqual(clicks.onsets(samples, 4000), [100, 4100, 8100, 12100, 16100, 20100, 24100, 28100])

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
    def test_onsets_keep_their_time_across_frames_and_a_clamped_first_frame(self):
        samples = array.array("h", clicks.click_train(1.0, 4000, lead_in=3198))  # first click straddles frames
        start = -0.0217  # the first stamp lay before the epoch, so the wire says 0.0
        stream = b""
        for index in range(0, len(samples), 3200):
            chunk = samples[index:index + 3200]
            time = max(0.0, start + index / 16000)
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

    def test_prediction_is_monitor_latency_minus_mic_latency(self):
        self.assertAlmostEqual(fidelity.predicted_offset_ms([100, 300, 200], [-20000, -30000, -10000]), -20.2)

    def test_latencies_read_from_a_verbose_parecord_transcript(self):
        transcript = b"Stream successfully created.\nTime: 0.008 sec; Latency: -32310 usec.  \r" \
                     b"Time: 0.058 sec; Latency: 396 usec.  \rGot signal, exiting.\n"
        self.assertEqual(probes.latencies_usec(transcript), [-32310, 396])

    def test_percentile_interpolates_between_ranks(self):
        self.assertEqual(stats.percentile([4, 1, 3, 2, 5], 0.95), 4.8)
        self.assertEqual(stats.percentile([7], 0.95), 7)


if __name__ == "__main__":
    unittest.main()
