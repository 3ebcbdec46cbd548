"""zeltavo.exe as a user meets it: under Wine on a private X server, watched through
screenshots, its exit code and Wine's trace of its calls.

Every frame clears the screen to the background colour, so the trace of
ClearRenderTargetView gives each frame's colour with Wine's timestamp, which runs on
the same clock as time.monotonic(). The colour ramp below is written from the demo's
description, independently of the program's own arithmetic.
"""
import os
import random
import re
import sys
import time
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402

RUN_SECONDS = 59.9
TRACE = "+win,+cursor,+d3d11,+dxgi"
MIDDLE = (0.4, 0.6, 0.9)  # the light blue at 30 s


def ramp(t):
    """Background colour at t seconds: black, light blue at 30 s, white from 60 s."""
    t = min(max(t, 0.0), 60.0)
    if t <= 30.0:
        return [m * t / 30.0 for m in MIDDLE]
    return [m + (1.0 - m) * (t - 30.0) / 30.0 for m in MIDDLE]


def ramp_seconds(color):
    """The moment of the ramp whose red channel this is (exact below 60 s)."""
    red = color[0]
    return red / 0.4 * 30.0 if red <= 0.4 else 30.0 + (red - 0.4) / 0.6 * 30.0


def frames(trace):
    """(timestamp, rgba) of every frame, from its ClearRenderTargetView."""
    result = []
    for call in rig.trace_calls(trace, "d3d11", "d3d11_device_context_ClearRenderTargetView"):
        rgba = re.search(r"color_rgba \{([^}]*)\}", call.args).group(1)
        result.append((call.timestamp, [float(v) for v in rgba.split(",")]))
    return result


def program_calls(trace, thread, names):
    """(name, args) of the traced calls on the program's thread whose function names
    end in one of names, in the order they were made."""
    return [(next(n for n in names if c.function.endswith(n)), c.args)
            for c in rig.trace_calls(trace) if c.thread == thread and c.function.endswith(names)]


def main_window_handle(trace):
    """The Windows handle of the screen-sized window, as Wine's trace shows it."""
    return re.search(r"NtUserCreateWindowEx hwnd (0x[0-9a-f]+) cs 0,0 1920x1080 ", trace)[1]


class DemoRun:
    """One run of the demo on a desktop of its own, with its main window found."""

    def __init__(self, desk, env=None):
        self.desk = desk
        self.run = desk.run(rig.windows_program("zeltavo"), env=env, winedebug=TRACE)

    def find_window(self):
        self.window = self.run.find_window(title="zeltavo", timeout=30)
        created = rig.wait_for(self.created, 10, "the window's creation in the trace")
        self.thread = created.thread
        self.hwnd = main_window_handle(self.run.trace)
        return self.window

    def created(self):
        return next((c for c in rig.trace_calls(self.run.trace, "win", "WIN_CreateWindowEx")
                     if c.args.startswith('L"zeltavo" L"MAIN"')), None)

    def clock_start(self):
        """When the frame loop's clock started, as seen by the first frame."""
        first = rig.wait_for(lambda: frames(self.run.trace)[:1], 30, "the first frame")[0]
        return first[0] - ramp_seconds(first[1])

    def sleep_until(self, moment):
        time.sleep(max(0.0, moment - time.monotonic()))

    def screenshot_problem(self, clock_start):
        """None if the whole screen shows one colour of the ramp for the moment of the
        shot, else what is wrong.

        The moment is known to within the shot's own duration, plus the frame on
        screen being up to one frame interval old and Wine's tick lagging by tens of
        milliseconds: 0.25 s in all, about two levels of the steepest channel.
        """
        shot = self.desk.screenshot()
        pixels = shot.pixels.reshape(-1, 3).astype(int)
        spread = pixels.max(axis=0) - pixels.min(axis=0)
        if (spread > 1).any():
            return "the screen is not one colour: channels spread %s" % spread
        earliest = shot.t_before - clock_start - 0.25
        latest = shot.t_after - clock_start + 0.05
        low = np.floor(np.array(ramp(earliest)) * 255) - 1
        high = np.ceil(np.array(ramp(latest)) * 255) + 1
        color = pixels[0]
        if ((color < low) | (color > high)).any():
            return "at %.2f s the screen is %s, the ramp %s to %s" % (
                earliest + 0.25, color, low + 1, high - 1)
        return None


class FullRun(unittest.TestCase):
    """One whole run, ending on its own; the tests look at what it left behind."""

    @classmethod
    def setUpClass(cls):
        with rig.Desktop() as desk:
            demo = DemoRun(desk)
            cls.window = demo.find_window()
            cls.geometry = desk.window_geometry(cls.window)
            cls.props = desk.window_props(cls.window)
            cls.thread, cls.hwnd = demo.thread, demo.hwnd
            cls.created = demo.created()
            clock_start = demo.clock_start()
            cls.shot_problems = []
            for moment in (4.0, 21.0, 33.0, 52.0):
                demo.sleep_until(clock_start + moment)
                cls.shot_problems.append(demo.screenshot_problem(clock_start))
            cls.exit_code = demo.run.wait(timeout=90)
            cls.wall_seconds = demo.run.wall_seconds
            cls.trace = demo.run.trace
            cls.frames = frames(cls.trace)

    def test_window_is_a_borderless_main_window_over_the_whole_screen(self):
        self.assertRegex(self.created.args, r"ex=00000000 style=90000000 0,0 1920x1080 ")
        self.assertEqual(self.geometry, (0, 0, 1920, 1080))
        self.assertEqual(self.props["title"], "zeltavo")
        self.assertFalse(self.props["decorated"])
        self.assertTrue(self.props["viewable"])

    def test_background_follows_the_ramp_in_screenshots(self):
        self.assertEqual(self.shot_problems, [None] * 4)

    def test_ends_on_its_own_after_59_9_seconds_with_code_0(self):
        self.assertEqual(self.exit_code, 0)
        self.assertGreater(self.wall_seconds, RUN_SECONDS)
        self.assertLess(self.wall_seconds, RUN_SECONDS + 20)
        # The first pass past 59.9 s destroys the window, the next takes the quit
        # message and still renders: exactly two frames lie past the end.
        past = [f for f in self.frames if ramp_seconds(f[1]) > RUN_SECONDS + 0.0005]
        self.assertEqual(len(past), 2, [ramp_seconds(f[1]) for f in self.frames[-4:]])
        self.assertLess(ramp_seconds(past[-1][1]), RUN_SECONDS + 1.0)
        # (Wine traces no call on a handle that names no window any more, so the second
        # DestroyWindow of the last pass does not show.)
        calls = program_calls(self.trace, self.thread,
                              ("NtUserDestroyWindow", "ClearRenderTargetView"))
        own = [name for name, args in calls
               if name != "NtUserDestroyWindow" or args == "(%s)" % self.hwnd]
        self.assertEqual(own.count("NtUserDestroyWindow"), 1)
        self.assertEqual(own[-3:], ["ClearRenderTargetView", "NtUserDestroyWindow",
                                    "ClearRenderTargetView"])

    def test_animation_follows_the_clock_not_the_frame_count(self):
        self.assertGreater(len(self.frames), 600)  # at least 10 frames a second
        offsets = [stamp - ramp_seconds(rgba) for stamp, rgba in self.frames[:-2]]
        middle = sorted(offsets)[len(offsets) // 2]
        self.assertLess(max(abs(o - middle) for o in offsets), 0.1)
        for _, rgba in self.frames:
            self.assertEqual(rgba[3], 1.0)

    def test_every_frame_clears_depth_and_presents_with_vertical_sync(self):
        clears = list(rig.trace_calls(self.trace, "d3d11",
                                      "d3d11_device_context_ClearDepthStencilView"))
        presents = [c.args for c in rig.trace_calls(self.trace, "dxgi", "d3d11_swapchain_Present")]
        self.assertEqual(len(clears), len(self.frames))
        self.assertTrue(all(c.args.endswith("flags 0x1, depth 1.00000000e+00, stencil 0.")
                            for c in clears))
        self.assertEqual(len(presents), len(self.frames))
        self.assertTrue(all(p.endswith("sync_interval 1, flags 0.") for p in presents))

    def test_device_is_made_once_with_the_bindings_of_the_whole_run(self):
        create = [c for c in rig.trace_calls(self.trace, "d3d11", "D3D11CreateDeviceAndSwapChain")
                  if c.args.startswith("adapter")]
        self.assertEqual(len(create), 1)
        self.assertIn("driver_type D3D_DRIVER_TYPE_HARDWARE", create[0].args)
        self.assertIn("flags 0, feature_levels", create[0].args)
        self.assertIn("levels 1, sdk_version 7", create[0].args)
        self.assertIn("[0] = D3D_FEATURE_LEVEL_11_0.", self.trace)
        for function, expected in [
                ("d3d11_device_context_RSSetViewports", "viewport_count 1"),
                ("d3d11_device_context_OMSetRenderTargets", "rtv_count 1"),
                ("d3d11_device_context_OMSetDepthStencilState", "stencil_ref 1.")]:
            calls = list(rig.trace_calls(self.trace, "d3d11", function))
            self.assertEqual(len(calls), 1, function)
            self.assertIn(expected, calls[0].args)

    def test_device_objects_are_released_at_exit_render_target_view_first(self):
        last_present = self.trace.rindex("d3d11_swapchain_Present")
        released = re.findall(r":(\w+)_Release \w+ decreasing refcount to 0\.",
                              self.trace[last_present:])
        slots = ["d3d11_rendertarget_view", "d3d11_swapchain", "d3d11_device_context",
                 "d3d11_depthstencil_state", "d3d11_depthstencil_view", "d3d11_texture2d",
                 "d3d_device_inner"]
        self.assertEqual([r for r in released if r in slots][:len(slots)], slots)


class EscapeAndActivation(unittest.TestCase):
    def test_escape_at_a_random_moment_ends_the_run_promptly_with_code_0(self):
        moment = random.uniform(3.0, 15.0)
        print("Escape at %.2f s" % moment, file=sys.stderr)
        with rig.Desktop() as desk:
            demo = DemoRun(desk)
            window = demo.find_window()
            clock_start = demo.clock_start()

            # Another window takes the activation away and gives it back.
            desk.spawn(["xmessage", "-geometry", "+100+100", "another window"], "xmessage",
                       env=desk.env)
            other = desk.find_window(title="xmessage")
            demo.sleep_until(clock_start + 1.0)
            desk.activate(other)
            rig.wait_for(lambda: desk.active_window() == other, 10, "the other window")
            time.sleep(0.5)
            desk.activate(window)
            rig.wait_for(lambda: desk.active_window() == window, 10, "the demo's window")

            demo.sleep_until(clock_start + moment)
            self.assertIsNone(demo.screenshot_problem(clock_start))
            pressed = time.monotonic()
            desk.press("Escape")
            self.assertEqual(demo.run.wait(timeout=15), 0)
            self.assertLess(demo.run.ended - pressed, 3.0)
            trace = demo.run.trace

        # Hidden and confined on activation, shown and released on deactivation.
        cursor = program_calls(trace, demo.thread, ("NtUserShowCursor", "NtUserClipCursor"))
        self.assertEqual(cursor[:6], [
            ("NtUserShowCursor", "0, count=-1"),
            ("NtUserClipCursor", "Clipping to (0,0)-(1920,1080)"),
            ("NtUserClipCursor", "Clipping to (null)"),
            ("NtUserShowCursor", "1, count=0"),
            ("NtUserShowCursor", "0, count=-1"),
            ("NtUserClipCursor", "Clipping to (0,0)-(1920,1080)")])

        # Escape destroys the window; the pass that takes the quit message renders once
        # more, before the end, and does not destroy again.
        calls = program_calls(trace, demo.thread, ("NtUserDestroyWindow", "ClearRenderTargetView"))
        own = [name for name, args in calls
               if name != "NtUserDestroyWindow" or args == "(%s)" % demo.hwnd]
        self.assertEqual(own.count("NtUserDestroyWindow"), 1)
        self.assertEqual(own[own.index("NtUserDestroyWindow"):],
                         ["NtUserDestroyWindow", "ClearRenderTargetView"])
        last = frames(trace)[-1]
        self.assertLess(abs(ramp_seconds(last[1]) - (pressed - clock_start)), 1.0)


    def test_other_keys_do_nothing_and_alt_f4_closes_like_escape(self):
        with rig.Desktop() as desk:
            demo = DemoRun(desk)
            demo.find_window()
            clock_start = demo.clock_start()
            for key in ("space", "a", "Return", "F1"):
                desk.press(key)
            demo.sleep_until(clock_start + 2.0)
            self.assertIsNone(demo.run.poll(), "a key other than Escape ended the run")
            # The system's close command reaches the default window procedure, which
            # destroys the window: the run ends the way Escape ends it.
            pressed = time.monotonic()
            desk.press("alt+F4")
            self.assertEqual(demo.run.wait(timeout=15), 0)
            self.assertLess(demo.run.ended - pressed, 3.0)


class NoDevice(unittest.TestCase):
    def test_without_a_feature_level_11_device_the_program_ends_with_code_1(self):
        with rig.Desktop() as desk:
            # Wine then offers nothing above shader model 3: no feature level 11_0.
            demo = DemoRun(desk, env={"WINE_D3D_CONFIG": "MaxShaderModelPS=3"})
            exit_code = demo.run.wait(timeout=60)
            wall_seconds = demo.run.wall_seconds
            trace = demo.run.trace
        self.assertEqual(exit_code, 1)
        self.assertLess(wall_seconds, 30.0)
        self.assertIsNone(re.search(r"wine: Unhandled|Unhandled exception:", trace), "crashed")
        self.assertIn("D3D11CreateDeviceAndSwapChain Failed to create a device", trace)
        self.assertEqual(frames(trace), [])
        self.assertFalse("d3d11_swapchain_Present" in trace, "a frame was presented")
        self.assertTrue("NtUserDestroyWindow (%s)" % main_window_handle(trace) in trace,
                        "the window was not destroyed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
