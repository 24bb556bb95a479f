"""The offline canceller comparison's inputs and figures on synthetic
signals: the files lie on one grid, and an output is measured where its
canceller put it."""
import array
import math
import os
import tempfile
import unittest

import echo_compare
from test_echo import noise_scene
from tavikbench import echo
from tavikbench.frames import samples_from



class EchoCompareTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tracks = noise_scene(7, 50.0)

    def test_the_inputs_lie_on_one_grid_without_the_marker(self):
        t = self.tracks
        with tempfile.TemporaryDirectory() as directory:
            far_path, mic_path, near_path = echo_compare.write_inputs(t, directory)
            far, mic, near = (samples_from(open(p, "rb").read()) for p in (far_path, mic_path, near_path))
        self.assertEqual({len(far), len(mic), len(near)}, {len(t.near)})
        self.assertEqual(far[t.marker], 0)
        self.assertEqual(far[t.start:], samples_from(t.far.tobytes())[t.start:])
        self.assertEqual(list(near), t.near)
        # The microphone's echo follows the far end by 50 ms, to the sample.
        a, _ = t.window("far after")
        self.assertEqual(echo.best_lag(mic, far, range(780, 821), a, a + 4000), 800)

    def test_an_output_is_measured_where_its_latency_puts_it(self):
        t = self.tracks
        # A canceller that removes all the echo and hands out the near end 112 samples late.
        late = array.array("h", [0] * 112 + t.near)
        kept = echo_compare.figures(t, late, 112)
        self.assertTrue(all(v == math.inf for v in kept.erle_db.values()))
        self.assertAlmostEqual(kept.near_change_db, 0.0, places=6)
        self.assertAlmostEqual(kept.double_gain_db, 0.0, places=6)
        self.assertTrue(echo_compare.near_end_kept(kept))
        # Taken where it is not, the same output loses the near end.
        misplaced = echo_compare.figures(t, late, 0)
        self.assertLess(misplaced.double_gain_db, -10)
        self.assertFalse(echo_compare.near_end_kept(misplaced))

    def test_the_microphone_itself_reads_zero_everywhere(self):
        plain = echo_compare.figures(self.tracks, samples_from(self.tracks.mic))
        for name, value in plain.erle_db.items():
            self.assertAlmostEqual(value, 0.0, delta=0.01, msg=name)
        self.assertAlmostEqual(plain.near_change_db, 0.0, delta=0.01)
        self.assertAlmostEqual(plain.double_reduction_db, 0.0, delta=0.2)

    def test_the_programs_lines_are_read_by_name(self):
        timings = echo_compare.parse_timings("# canceller cpu_ms_per_s latency_samples echo_left_db delay_found_ms\n"
                                             "speexdsp 5.670 0 10.30 -1\n"
                                             "webrtc-low-extended 6.820 112 20.10 8\n")
        self.assertEqual(set(timings), {"speexdsp", "webrtc-low-extended"})
        self.assertEqual(timings["webrtc-low-extended"], echo_compare.Timing(6.82, 112, 8))
        self.assertEqual(timings["speexdsp"].delay_found_ms, -1)


if __name__ == "__main__":
    unittest.main()
