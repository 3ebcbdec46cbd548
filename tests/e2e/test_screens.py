"""zeltavo.exe on screens of other shapes and depths than 1920x1080 at 24 bits.

The window must cover each screen exactly, and the picture must be the camera's at that
screen's aspect ratio: the vertical field of view is fixed, so a wide screen shows more
background at the sides and a portrait one crops the mesh at the sides.
"""
import sys
import unittest

import rig  # noqa: E402
from film import draw_counts, frames, presented_frames, ramp_seconds  # noqa: E402
from test_program import (RUN_SECONDS, TURN_SHOT, DemoRun, camera_overlaps,  # noqa: E402
                          screenshot_problem, shot_moments)

SHAPES = ((1280, 1024), (2560, 1080), (1080, 1920), (1024, 768))


class ScreenShapes(unittest.TestCase):
    def test_window_and_picture_fit_every_screen_shape(self):
        # Each run lasts until just past the turn, where the whole mesh is drawn, and
        # ends on Escape.
        for size in SHAPES:
            with self.subTest(screen="%dx%d" % size), rig.Desktop(size=size) as desk:
                demo = DemoRun(desk)
                geometry = desk.window_geometry(demo.find_window())
                created = demo.created()
                clock_start = demo.clock_start()
                shot = demo.shoot_at(clock_start, TURN_SHOT)
                desk.press("Escape")
                code = demo.run.wait(timeout=30)
                crash, trace = demo.crash(), demo.run.trace

                self.assertEqual((code, crash), (0, None))
                self.assertRegex(created.args, r"style=90000000 0,0 %dx%d " % size)
                self.assertEqual(geometry, (0, 0) + size)
                presented = presented_frames(trace)
                self.assertIsNone(screenshot_problem(shot, presented))
                self.assertEqual(max(f.count for f in presented), 432138, "the run missed the turn")
                overlaps = camera_overlaps(shot.pixels, shot_moments(shot, presented))
                print("%dx%d: overlap with the camera's picture %.3f" % (size + (max(overlaps),)),
                      file=sys.stderr)
                self.assertGreater(max(overlaps), 0.95, overlaps)


class SixteenBitScreen(unittest.TestCase):
    def test_a_16_bit_screen_gets_a_whole_run_or_a_clean_refusal(self):
        with rig.Desktop(depth=16) as desk:
            demo = DemoRun(desk)
            code = demo.run.wait(timeout=150)
            crash, trace = demo.crash(), demo.run.trace
        self.assertIsNone(crash)
        seconds = [ramp_seconds(rgba) for _, rgba in frames(trace)]
        if code == rig.wine_exit_code(1):
            print("16-bit screen: no device, exit code 1", file=sys.stderr)
            self.assertIn("D3D11CreateDeviceAndSwapChain Failed to create a device", trace)
            self.assertEqual(seconds, [])
            return
        print("16-bit screen: %d frames to the end, exit code %d" % (len(seconds), code),
              file=sys.stderr)
        self.assertEqual(code, 0)
        self.assertEqual(max(draw_counts(trace)), 432138)
        # The first pass past the end destroys the window, the next one takes the quit.
        self.assertEqual(len([t for t in seconds if t > RUN_SECONDS + 0.0005]), 2, seconds[-4:])


if __name__ == "__main__":
    unittest.main(verbosity=2)
