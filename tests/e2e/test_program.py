"""zeltavo.exe as a user meets it: under Wine on a private X server, watched through
screenshots, its exit code and Wine's trace of its calls; and the film of the run that
frame_capture makes of it with the program's own frame routine.

Every frame clears the screen to the background colour, so the trace of
ClearRenderTargetView gives each frame's colour with Wine's timestamp, which runs on
the clock of rig.wine_clock(). The colour ramp below is written from the demo's
description, independently of the program's own arithmetic.
"""
import argparse
import functools
import importlib.machinery
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

import numpy as np
from PIL import Image, ImageDraw

import mesh_model  # noqa: E402
import rig  # noqa: E402
from film import draw_counts, film, frames, presented_frames, ramp_seconds  # noqa: E402

RUN_SECONDS = 59.9
# Moments of the run at which the full run takes its screenshots. Under a software
# renderer the screen shows a frame a few tenths of a second old, hence the turn's shot
# a little after 30 s.
TURN_SHOT = 30.3
SHOT_MOMENTS = (2.0, 3.0, 4.0, 5.0, 10.0, 15.0, 17.5, 21.0, 22.5, 25.0, 27.5, TURN_SHOT, 33.0,
                45.0, 52.0, 55.0)
TRACE = "+win,+cursor,+d3d11,+dxgi"
MIDDLE = (0.4, 0.6, 0.9)  # the light blue at 30 s


def ramp(t):
    """Background colour at t seconds: black, light blue at 30 s, white from 60 s."""
    t = min(max(t, 0.0), 60.0)
    if t <= 30.0:
        return [m * t / 30.0 for m in MIDDLE]
    return [m + (1.0 - m) * (t - 30.0) / 30.0 for m in MIDDLE]


def expected_draw_counts(seconds):
    """The draw count of each frame for these elapsed times: a progress that grows at
    14,404.6 indices a second, turns once it passes the end of the list and shrinks back,
    turning again at 0."""
    rate, progress, direction, previous = 432138 / 30, 0.0, 1.0, 0.0
    counts = []
    for t in seconds:
        progress += direction * rate * (t - previous)
        previous = t
        if progress < 0:
            progress, direction = 0.0, -direction
            counts.append(0)
            continue
        count = int(progress)
        if count == 0 or (count > 432138 and direction > 0):
            direction = -direction
        counts.append(min(count, 432138))
    return counts


def draw_count_mismatches(seconds, counts):
    """The frames whose draw count is not the model's for their moment. The moments come
    back from the colours to within microseconds: a count or two. The colour stops at
    white at 60 s, so a later frame (the last passes of a late run) has no moment to hold
    it to: after a long last step its progress may even have passed 0 and grown again
    (7,922 indices seen where the model, dating the frame at 60 s, gave 172)."""
    return ["%d indices at %.4f s, the model %d" % (count, t, model)
            for t, count, model in zip(seconds, counts, expected_draw_counts(seconds))
            if t < 60.0 and abs(count - model) > 3]


FRAME_CALLS = [  # every frame's Direct3D calls, in order, with what their traces show
    ("ClearRenderTargetView", r"render_target_view (?P<rtv>\w+), color_rgba"),
    ("ClearDepthStencilView", r"flags 0x1, depth 1.00000000e\+00, stencil 0\."),
    ("Map", r"resource (?P<constants>\w+), subresource_idx 0, map_type 4, map_flags 0,"),
    ("Unmap", r"resource (?P<constants>\w+), subresource_idx 0\."),
    ("VSSetConstantBuffers", r"start_slot 0, buffer_count 1,"),
    ("VSSetShader", r"shader (?P<vs>\w+), class_instances 0+, class_instance_count 0\."),
    ("PSSetShader", r"shader (?P<ps>\w+), class_instances 0+, class_instance_count 0\."),
    ("IASetInputLayout", r"input_layout (?P<layout>\w+)\."),
    ("IASetVertexBuffers", r"start_slot 0, buffer_count 1,"),
    ("IASetIndexBuffer", r"buffer (?P<indices>\w+), format DXGI_FORMAT_R32_UINT, offset 0\."),
    ("IASetPrimitiveTopology", r"topology 0x4\."),  # triangle list
    ("DrawIndexed", r"index_count \d+, start_index_location 0, base_vertex_location 0\."),
    ("Present", r"sync_interval 1, flags 0\."),
]


def program_calls(trace, thread, names):
    """(name, args) of the traced calls on the program's thread whose function names
    end in one of names, in the order they were made."""
    return [(next(n for n in names if c.function.endswith(n)), c.args)
            for c in rig.trace_calls(trace) if c.thread == thread and c.function.endswith(names)]


def frames_after(trace, sent):
    """How many frames the program began after a key had reached the X server (sent, on
    rig.wine_clock()): at most the pass under way then and the one whose message check
    takes the key and ends the run, and one more if Wine had read X's events earlier in
    the same millisecond. Wine's tick runs behind, never ahead, so a frame stamped later
    was begun later."""
    return sum(stamp > sent for stamp, _ in frames(trace))


def made_and_released(trace):
    """The Direct3D and DXGI objects that a trace shows made, and those whose last
    reference went."""
    return (set(re.findall(r":(?:d3d|dxgi)\w*_create\w* Created [a-z ]+ (\w+)\.", trace)),
            set(re.findall(r":\w+_Release (\w+) decreasing refcount to 0\.", trace)))


def main_window_handle(trace, size):
    """The Windows handle of the screen-sized window, as Wine's trace shows it."""
    return re.search(r"NtUserCreateWindowEx hwnd (0x[0-9a-f]+) cs 0,0 %dx%d " % size, trace)[1]


class DemoRun:
    """One run of the demo on a desktop of its own, with its main window found."""

    def __init__(self, desk, env=None):
        self.desk = desk
        self.run = desk.run(rig.windows_program("zeltavo"), env=env, winedebug=TRACE)

    def find_window(self):
        self.window = self.run.find_window(title="zeltavo", timeout=30)
        created = rig.wait_for(self.created, 10, "the window's creation in the trace")
        self.thread = created.thread
        self.hwnd = main_window_handle(self.run.trace, self.desk.size)
        return self.window

    def created(self):
        return next((c for c in rig.trace_calls(self.run.trace, "win", "WIN_CreateWindowEx")
                     if c.args.startswith('L"zeltavo" L"MAIN"')), None)

    def crash(self):
        """How the program's process crashed (rig.Run.crash), or None. A process that
        died on a signal after the program had released every object it made died in
        Wine's own exit of it, once the program's code had ended: said so, and still a
        crash."""
        crash = self.run.crash()
        made, released = made_and_released(self.run.trace)
        if crash and self.run.poll() < 0 and made and made <= released:
            crash += (" after the program had released every object it made: in Wine's own"
                      " exit of the process")
        return crash

    def clock_start(self):
        """When the frame loop's clock started, as seen by the first frame: only to know
        when to take a screenshot, which is dated by what it shows."""
        first = rig.wait_for(lambda: frames(self.run.trace)[:1], 30, "the first frame")[0]
        return first[0] - ramp_seconds(first[1])

    def sleep_until(self, moment):
        time.sleep(max(0.0, moment - rig.wine_clock()))

    def shoot_at(self, clock_start, moment):
        """A screenshot of a frame of this moment of the run or a little later: taken once
        the clock is there, and again while the screen still shows an earlier frame (under
        a software renderer it can be a second or two behind) and the program runs."""
        self.sleep_until(clock_start + moment)
        shot = self.desk.screenshot()
        # A bound on waiting for a frame that never comes; the checks date the shot.
        while (latest_shown(shot) < moment and self.run.poll() is None
               and rig.wine_clock() < clock_start + moment + 60):
            shot = self.desk.screenshot()
        return shot


# Bands of the screen that the mesh never reaches at any angle, in 1080ths of the
# screen's height: the background alone. The vertical field of view is fixed, so on
# every screen shape the mesh spans the same share of the height.
BACKGROUND_BANDS = ((0, 100), (1020, 1080))


def background(pixels):
    """The pixels of the mesh-free bands of a picture (rows of RGB), as rows of RGB."""
    height = pixels.shape[0]
    return np.concatenate([pixels[top * height // 1080:bottom * height // 1080, :, :3]
                           for top, bottom in BACKGROUND_BANDS]).reshape(-1, 3)


def background_problem(pixels, moments):
    """None if the background of a picture is one colour of the ramp between the first and
    the last of these moments, else what is wrong. Direct3D converts a colour to 8 bits
    to within 0.6 of a step."""
    colors = background(pixels).astype(int)
    spread = colors.max(axis=0) - colors.min(axis=0)
    if (spread > 1).any():
        return "the background is not one colour: channels spread %s" % spread
    if not moments:
        return "the background %s is the colour of no frame presented before it" % colors[0]
    low = 255 * np.array(ramp(min(moments))) - 0.6
    high = 255 * np.array(ramp(max(moments))) + 0.6
    if ((colors[0] < low) | (colors[0] > high)).any():
        return "the background is %s, the ramp from %.2f to %.2f s %s to %s" % (
            colors[0], min(moments), max(moments), np.round(low + 0.6, 1),
            np.round(high - 0.6, 1))
    return None


def latest_shown(shot):
    """The latest moment of the run whose frame a screenshot can show, by the red channel
    of its background, which the screen rounds to 8 bits."""
    return ramp_seconds([(np.median(background(shot.pixels)[:, 0]) + 0.6) / 255])


def shown_frames(shot, frames):
    """The frames that a screenshot can show: presented by the time it was taken (Wine's
    tick runs behind the clock, never ahead), and of its background colour in 8 bits.
    Several frames in a row can share a colour; the ramp rises in every channel, so they
    are the frames of one stretch of the run."""
    color = np.median(background(shot.pixels), axis=0)
    return [f for f in frames if f.presented <= shot.t_after
            and (np.abs(255 * np.array(f.rgba[:3]) - color) <= 1).all()]


def shot_moments(shot, frames):
    """(moment, index count) of each frame a screenshot can show, and of the frame either
    side of them, as the timeline gives them for this run's frames: a frame's moment is
    its colour's (ramp_seconds), its count the model's for the frames up to it."""
    shown = shown_frames(shot, frames)
    if not shown:
        return []
    first, last = max(shown[0].number - 1, 0), min(shown[-1].number + 1, len(frames) - 1)
    seconds = [f.seconds for f in frames]
    counts = expected_draw_counts(seconds[:last + 1])
    return list(zip(seconds[first:last + 1], counts[first:]))


def screenshot_problem(shot, frames):
    return background_problem(shot.pixels, [t for t, _ in shot_moments(shot, frames)])


# What the viewer sees of the mesh, against what the mesh file and the camera say a frame
# of that moment covers, at each moment the screenshot can be of (shot_moments).

@functools.lru_cache(maxsize=None)
def mesh_on(size):
    """The mesh as a screen of this size shows it, loaded once."""
    return mesh_model.Mesh(size=size)


def mesh_pixels(pixels):
    """Full-resolution mask of the pixels of a picture that are not background."""
    color = np.median(background(pixels), axis=0)
    return (np.abs(pixels[..., :3].astype(int) - color) > 6).any(axis=2)


def drawn(mesh, moment):
    """What the model draws at a (seconds, index count) moment."""
    return mesh.drawn(mesh_model.SPIN_PER_SECOND * moment[0], moment[1])


def camera_overlaps(pixels, moments):
    """Intersection over union of the mesh seen in a picture with what the camera shows
    at each of these (seconds, index count) moments."""
    mesh = mesh_on(pixels.shape[1::-1])
    seen = mesh_model.downsample(mesh_pixels(pixels))
    return [(seen & drawn(mesh, m)).sum() / max(1, (seen | drawn(mesh, m)).sum())
            for m in moments]


class FullRun(unittest.TestCase):
    """One whole run, ending on its own; the tests look at what it left behind. ctest runs
    it under each of Wine's Direct3D renderers (ZELTAVO_RENDERER)."""

    @classmethod
    def setUpClass(cls):
        with rig.Desktop() as desk:
            cls.size, cls.renderer = desk.size, desk.renderer
            demo = DemoRun(desk)
            cls.window = demo.find_window()
            cls.geometry = desk.window_geometry(cls.window)
            cls.props = desk.window_props(cls.window)
            cls.thread, cls.hwnd = demo.thread, demo.hwnd
            cls.created = demo.created()
            clock_start = demo.clock_start()
            # Looked at after the run, so that the analysis takes no time from it.
            cls.shots = {moment: demo.shoot_at(clock_start, moment) for moment in SHOT_MOMENTS}
            if os.environ.get("ZELTAVO_SHOT_DIR"):  # kept for a look when a check fails
                for moment, shot in cls.shots.items():
                    Image.fromarray(shot.pixels).save(
                        os.path.join(os.environ["ZELTAVO_SHOT_DIR"], "shot-%04.1f.png" % moment))
            cls.exit_code = demo.run.wait(timeout=90)
            cls.wall_seconds = demo.run.wall_seconds
            cls.crash = demo.crash()
            cls.trace = demo.run.trace
        cls.frames = frames(cls.trace)
        cls.presented = presented_frames(cls.trace)
        cls.moments = {m: shot_moments(shot, cls.presented) for m, shot in cls.shots.items()}

    def test_window_is_a_borderless_main_window_over_the_whole_screen(self):
        self.assertRegex(self.created.args, r"ex=00000000 style=90000000 0,0 %dx%d " % self.size)
        self.assertEqual(self.geometry, (0, 0) + self.size)
        self.assertEqual(self.props["title"], "zeltavo")
        self.assertFalse(self.props["decorated"])
        self.assertTrue(self.props["viewable"])

    def test_background_follows_the_ramp_in_screenshots(self):
        problems = {m: screenshot_problem(shot, self.presented) for m, shot in self.shots.items()}
        self.assertEqual(problems, dict.fromkeys(self.shots))

    def test_ends_on_its_own_after_59_9_seconds_with_code_0(self):
        self.assertEqual((self.exit_code, self.crash), (0, None))
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
        offsets = [stamp - ramp_seconds(rgba) for stamp, rgba in self.frames[:-2]]
        middle = sorted(offsets)[len(offsets) // 2]
        # A frame counter would drift by seconds; a loaded machine may hold one frame
        # between reading the clock and clearing for a good part of a second.
        deviations = sorted(abs(o - middle) for o in offsets)
        self.assertLess(deviations[len(deviations) * 99 // 100], 0.1)
        self.assertLess(deviations[-1], 0.5)
        for _, rgba in self.frames:
            self.assertEqual(rgba[3], 1.0)

    def test_device_is_made_once_with_the_bindings_of_the_whole_run(self):
        create = [c for c in rig.trace_calls(self.trace, "d3d11", "D3D11CreateDeviceAndSwapChain")
                  if c.args.startswith("adapter")]
        self.assertEqual(len(create), 1)
        self.assertIn("driver_type D3D_DRIVER_TYPE_HARDWARE", create[0].args)
        self.assertIn("flags 0, feature_levels", create[0].args)
        self.assertIn("levels 1, sdk_version 7", create[0].args)
        self.assertIn("[0] = D3D_FEATURE_LEVEL_11_0.", self.trace)
        # Wine's own word for the renderer it drew with: the one the run asked for.
        self.assertIn("Using the %s renderer." % {"gl": "OpenGL", "vulkan": "Vulkan"}[
            self.renderer], self.trace)
        for function, expected in [
                ("d3d11_device_context_RSSetViewports", "viewport_count 1"),
                ("d3d11_device_context_OMSetRenderTargets", "rtv_count 1"),
                ("d3d11_device_context_OMSetDepthStencilState", "stencil_ref 1.")]:
            calls = list(rig.trace_calls(self.trace, "d3d11", function))
            self.assertEqual(len(calls), 1, function)
            self.assertIn(expected, calls[0].args)

    def test_pipeline_is_made_once_from_the_embedded_programs_and_mesh(self):
        kinds = ("VertexShader", "PixelShader", "InputLayout", "Buffer")
        made = [(c.function[len("d3d11_device_Create"):], c.args)
                for c in rig.trace_calls(self.trace, "d3d11")
                if c.function in ["d3d11_device_Create" + kind for kind in kinds]]
        self.assertEqual([kind for kind, _ in made], list(kinds[:3]) + ["Buffer"] * 3)
        vs, ps, layout, vertices, indices, constants = (args for _, args in made)
        code = re.search(r"byte_code (\w+), byte_code_length (\d+), class_linkage 0+,", vs)
        self.assertRegex(ps, r"byte_code_length \d+, class_linkage 0+,")
        # The layout is checked against the vertex program's own container.
        self.assertIn("element_count 2, shader_byte_code %s, shader_byte_code_length %s,"
                      % code.groups(), layout)
        # The mesh buffers start with the embedded arrays, the constant buffer empty.
        for args in (vertices, indices):
            self.assertNotRegex(args, r"data 0+,")
        self.assertRegex(constants, r"data 0+,")

    def test_every_frame_makes_the_same_calls_on_the_objects_made_at_start(self):
        calls = [(c.function.rsplit("_", 1)[1], c.args) for c in rig.trace_calls(self.trace)
                 if c.thread == self.thread and c.function.startswith(
                     ("d3d11_device_context_", "d3d11_swapchain_Present"))]
        starts = [i for i, c in enumerate(calls) if c[0] == "ClearRenderTargetView"]
        frames = [calls[a:b] for a, b in zip(starts, starts[1:] + [len(calls)])]
        # After the last frame the context is released at exit.
        frames[-1] = frames[-1][:[name for name, _ in frames[-1]].index("Present") + 1]
        self.assertEqual(len(frames), len(self.frames))
        created = dict(re.findall(r"d3d_(\w+?)_create Created \w+ (?:\w+ )?(\w+)\.",
                                  self.trace))
        buffers = re.findall(r"d3d_buffer_create Created buffer (\w+)\.", self.trace)
        objects = {"vs": created["vertex_shader"], "ps": created["pixel_shader"],
                   "layout": created["input_layout"], "indices": buffers[1],
                   "constants": buffers[2]}
        for number, frame in enumerate(frames):
            self.assertEqual([name for name, _ in frame], [n for n, _ in FRAME_CALLS],
                             "frame %d" % number)
            for (name, args), (_, pattern) in zip(frame, FRAME_CALLS):
                match = re.search(pattern, args)
                self.assertIsNotNone(match, "frame %d: %s(%s)" % (number, name, args))
                for key, value in match.groupdict().items():
                    if key in objects:
                        self.assertEqual(value, objects[key], "frame %d: %s" % (number, name))

    def test_draw_counts_follow_the_timeline_up_to_the_whole_list_and_back(self):
        seconds = [ramp_seconds(rgba) for _, rgba in self.frames]
        counts = draw_counts(self.trace)
        self.assertEqual(len(counts), len(seconds))
        self.assertEqual(draw_count_mismatches(seconds, counts)[:5], [])
        self.assertEqual(max(counts), 432138)
        # The whole list is drawn first by the first frame past 30 s, whenever it comes.
        top = counts.index(max(counts))
        self.assertLessEqual(seconds[top - 1], 30.0)
        self.assertGreaterEqual(seconds[top], 30.0)
        # At the end the list is nearly gone. What is left depends on how late the turn
        # and the last two frames came, so it is bounded by a second's worth, not by
        # the 0.1 s that a steady 60 Hz leaves.
        self.assertLess(counts[-1], 432138 / 30)

    def mesh(self):
        return mesh_on(self.size)

    def mesh_pixels(self, moment):
        return mesh_pixels(self.shots[moment].pixels)

    def model_moments(self, moment):
        """(seconds, index count) of each frame the shot of this moment can show."""
        self.assertTrue(self.moments[moment], "the shot of %.1f s shows no frame" % moment)
        return self.moments[moment]

    def drawn_share(self, moment):
        """(seen, lowest expected, highest expected) share of the finished outline that is
        drawn in the screenshot of this moment."""
        mesh = self.mesh()
        seen = mesh_model.downsample(self.mesh_pixels(moment))
        shares = []
        for t, count in self.model_moments(moment):
            angle = mesh_model.SPIN_PER_SECOND * t
            outline = mesh.outline(angle).sum()
            shares.append((mesh.drawn(angle, count).sum() / outline, seen.sum() / outline))
        return (float(np.mean([s for _, s in shares])), min(e for e, _ in shares),
                max(e for e, _ in shares))

    def test_the_drawn_share_of_the_outline_follows_the_reveal_and_its_reverse(self):
        report, wrong = [], []
        for moment in SHOT_MOMENTS:
            seen, low, high = self.drawn_share(moment)
            report.append("%5.1f s: %3.0f%% (model %3.0f%% to %3.0f%%)"
                          % (moment, 100 * seen, 100 * low, 100 * high))
            if not low - 0.06 <= seen <= high + 0.06:
                wrong.append(report[-1])
        print("\nshare of the outline drawn:\n  " + "\n  ".join(report), file=sys.stderr)
        self.assertEqual(wrong, [])

    def test_the_reveal_starts_with_connected_light_pieces_on_the_upper_part(self):
        pixels = self.mesh_pixels(2.0)
        seen = mesh_model.downsample(pixels)
        # At least half of what the model draws at the earliest moment the shot may show.
        least = min(drawn(self.mesh(), m).sum() for m in self.model_moments(2.0))
        self.assertGreater(seen.sum(), 0.5 * least, "too little of the mesh drawn at 2 s")
        sizes = mesh_model.components(seen)
        self.assertGreater(sizes[0], 0.6 * seen.sum(), "scattered pieces: %s" % sizes[:8])
        grey = self.shots[2.0].pixels[pixels].astype(int)
        # Shaded 0.4 times the height: light grey means high up on the shape.
        self.assertGreater(np.median(grey), 0.4 * 1.0 * 255)
        outline = self.mesh().outline(mesh_model.SPIN_PER_SECOND * 2.0)
        self.assertLess(np.nonzero(seen)[0].mean(), np.nonzero(outline)[0].mean())

    def test_the_whole_body_at_the_turn_is_closed_and_shaded_by_height(self):
        pixels = self.mesh_pixels(TURN_SHOT)
        mesh = self.mesh()
        moments = self.model_moments(TURN_SHOT)
        self.assertTrue(any(abs(t - 30.0) < 1.0 for t, _ in moments), "the shot missed the turn")
        # Background enclosed by the mesh is a hole, unless the frame on screen had not
        # yet drawn that part: every pixel drawn at each possible moment must be there.
        image = Image.fromarray(pixels.astype(np.uint8) * 255).copy()  # writable
        ImageDraw.floodfill(image, (0, 0), 128)
        holes = mesh_model.downsample(np.asarray(image) == 0)
        surely_drawn = np.logical_and.reduce([drawn(mesh, m) for m in moments])
        holes &= mesh_model.erode(surely_drawn)
        self.assertEqual(int(holes.sum()), 0, "holes at %s" % list(zip(*np.nonzero(holes)))[:5])

        grey = self.shots[TURN_SHOT].pixels[pixels].astype(int)
        self.assertLessEqual(int((grey.max(axis=1) - grey.min(axis=1)).max()), 1, "not grey")
        # Shaded 0.4 times the model height. Of the front faces drawn at the shot, the
        # highest lowest corner (the taller ear's tip, which nothing hides from above)
        # and the highest corner bound the brightest grey; the lowest corner and the
        # lowest highest corner bound the darkest.
        corners = []
        for t, count in moments:
            angle = mesh_model.SPIN_PER_SECOND * t
            prefix = mesh.triangles[:count // 3]
            front = prefix[mesh_model.front_facing(mesh.screen(angle), prefix)]
            corners.append(mesh.positions[front, 1] * 0.4 * 255)
        brightest = (min(c.min(axis=1).max() for c in corners), max(c.max() for c in corners))
        darkest = (min(c.min() for c in corners), max(c.max(axis=1).min() for c in corners))
        print("\nbrightest grey %d (model %.1f to %.1f), darkest %d (model %.1f to %.1f)"
              % (grey.max(), *brightest, grey.min(), *darkest), file=sys.stderr)
        self.assertGreaterEqual(grey.max(), np.floor(brightest[0]) - 1)
        self.assertLessEqual(grey.max(), np.ceil(brightest[1]) + 1)
        self.assertGreaterEqual(grey.min(), np.floor(darkest[0]) - 1)
        self.assertLessEqual(grey.min(), np.ceil(darkest[1]) + 1)
        rows = np.nonzero(pixels)[0]
        top, bottom = np.percentile(rows, [15, 85])
        self.assertLess(grey[rows >= bottom, 0].mean(), grey[rows <= top, 0].mean())

    def test_the_mesh_stands_where_the_camera_puts_it_not_where_a_transpose_would(self):
        moments = self.model_moments(TURN_SHOT)
        overlaps = camera_overlaps(self.shots[TURN_SHOT].pixels, moments)
        self.assertGreater(max(overlaps), 0.95, overlaps)
        seen = mesh_model.downsample(self.mesh_pixels(TURN_SHOT))
        mesh = self.mesh()
        seconds, count = moments[int(np.argmax(overlaps))]
        angle = mesh_model.SPIN_PER_SECOND * seconds
        # The camera is the demo's and not one near it: with its eye a tenth of a unit off
        # along any axis the picture overlaps the screenshot less (0.92 to 0.98 of it).
        for offset in np.vstack([np.identity(3), -np.identity(3)]) / 10:
            moved = mesh.drawn(angle, count, tuple(mesh_model.EYE + offset))
            self.assertLess((seen & moved).sum() / (seen | moved).sum(), max(overlaps), offset)
        # The matrix stored untransposed would apply the transpose of the transform: a
        # picture nothing like the one on screen.
        transposed = mesh.cover(mesh_model.model_to_clip(angle, mesh.aspect).T)
        self.assertLess((seen & transposed).sum() / (seen | transposed).sum(), 0.3)

    def test_every_direct3d_and_dxgi_object_is_released_at_exit_render_target_view_first(self):
        created, released = made_and_released(self.trace)
        self.assertGreater(len(created), 10)  # buffers, views, shaders, textures, ...
        self.assertEqual(created - released, set(), "never released")
        # After the last frame, by the exit handlers, in the reverse order of the slots.
        last_present = self.trace.rindex("d3d11_swapchain_Present")
        order = re.findall(r":(\w+)_Release \w+ decreasing refcount to 0\.",
                           self.trace[last_present:])
        slots = ["d3d11_rendertarget_view", "d3d11_swapchain", "d3d11_device_context",
                 "d3d11_depthstencil_state", "d3d11_depthstencil_view", "d3d11_texture2d",
                 "d3d_device_inner"]
        self.assertEqual([r for r in order if r in slots][:len(slots)], slots)


class Capture(unittest.TestCase):
    """frame_capture, with which tools/capture films the run: the program's own set-up
    and frame routine draw into a texture the frame that the loop would draw at each
    refresh of an ideal display. A frame's moment is exact, so it is held against the
    ramp and the mesh model at that very moment, and against the frames either side."""

    SIZE = (640, 360)
    RATE = 10
    FRAMES = 311  # 0 to 31 s
    # Growing at 5 and 20 s; at 30.2 s the progress passes the end of the list and turns
    # (the first frame, at 0 s, has no time step and holds the reveal back by a frame);
    # shrinking at 30.9 s.
    MOMENTS = (50, 200, 302, 309)

    @classmethod
    def setUpClass(cls):
        with rig.Desktop() as desk:
            cls.count, cls.frames, cls.left_over, cls.exit_code = film(
                desk, cls.SIZE, cls.RATE, cls.FRAMES, keep=cls.MOMENTS)
            # A whole run, quickly: small frames at one a second.
            cls.run_count, cls.run_ends, _, cls.run_exit_code = film(desk, (64, 36), 1,
                                                                       keep=(59, 60, 61))
        # The loop's clock reads whole milliseconds.
        cls.seconds = [k * 1000 // cls.RATE / 1000 for k in range(cls.FRAMES)]
        cls.counts = expected_draw_counts(cls.seconds)

    def test_frames_come_whole_and_a_run_ends_after_the_first_frame_past_59_9_s(self):
        self.assertEqual((self.count, self.left_over, self.exit_code), (self.FRAMES, 0, 0))
        # At one frame a second the first frame past 59.9 s is the one at 60 s, which
        # destroys the window; the loop's next pass still draws, at 61 s.
        self.assertEqual((self.run_count, self.run_exit_code), (62, 0))
        for number, frame in self.run_ends.items():  # white from 60 s on
            self.assertIsNone(background_problem(frame, [number]), number)

    def test_the_background_is_the_ramp_at_each_exact_moment(self):
        # The blue rises by 0.77 of a step a frame, so a frame drawn a moment off mostly
        # lands outside.
        for number in self.MOMENTS:
            self.assertIsNone(background_problem(self.frames[number], [self.seconds[number]]),
                              "%.1f s" % self.seconds[number])

    def test_the_mesh_is_the_models_at_each_exact_moment_not_a_frame_either_side(self):
        report, wrong = [], []
        for number in self.MOMENTS:
            overlaps = camera_overlaps(self.frames[number], [
                (self.seconds[k], self.counts[k]) for k in (number - 1, number, number + 1)])
            report.append("%4.1f s, %6d indices: overlap %.3f, a frame before %.3f, after %.3f"
                          % (self.seconds[number], self.counts[number], overlaps[1],
                             overlaps[0], overlaps[2]))
            # Partly drawn strips leave gaps a few pixels wide, which a coarse mask
            # follows only roughly: hence not nearer 1.
            if overlaps[1] < 0.75 or overlaps[1] <= max(overlaps[0], overlaps[2]):
                wrong.append(report[-1])
        print("\nmesh in the film against the model:\n  " + "\n  ".join(report),
              file=sys.stderr)
        self.assertEqual(wrong, [])

    # ZELTAVO_CAPTURE_FAULT plants one fault in frame_capture, at its frame 2.
    def test_each_refusal_and_a_crash_end_the_frames_with_a_code_and_a_line_of_their_own(self):
        cases = (("refuse", 84, 0, "frame_capture: the device refused the depth-stencil state"),
                 ("stale", 85, 2, "frame_capture: frame 2: the constant buffer does not hold"),
                 ("crash", 88, 2, "frame_capture: crashed with exception 0xC0000005"))
        with rig.Desktop() as desk:
            for fault, code, whole, line in cases:
                with self.subTest(fault):
                    run = desk.run(rig.windows_program("frame_capture"), 64, 36, 10, 5,
                                   env={"ZELTAVO_CAPTURE_FAULT": fault}, stdout=subprocess.PIPE)
                    data = run.output.read()
                    run.output.close()
                    self.assertEqual(run.wait(timeout=60), rig.wine_exit_code(code))
                    self.assertEqual(divmod(len(data), 64 * 36 * 4), (whole, 0))
                    self.assertIn(line, run.trace)

    def test_a_capture_that_fails_or_stalls_leaves_the_film_under_its_name_as_it_was(self):
        loader = importlib.machinery.SourceFileLoader(
            "capture", str(Path(__file__).resolve().parents[2] / "tools" / "capture"))
        capture = importlib.util.module_from_spec(importlib.util.spec_from_loader("capture",
                                                                                  loader))
        loader.exec_module(capture)
        # Frames 0 and 1 come, then none: the stall is counted from the frames read.
        cases = (("refuse", "code 84\nframe_capture: the device refused the depth-stencil"),
                 ("stall", "no frame for 20 s, after 2 of 602; stopped, and no film written"))
        for fault, message in cases:
            with self.subTest(fault), tempfile.TemporaryDirectory(prefix="zeltavo-film-") as work, \
                    mock.patch.dict(os.environ, ZELTAVO_CAPTURE_FAULT=fault):
                output = Path(work, "films", "film.mp4")
                output.parent.mkdir()
                output.write_bytes(b"an earlier film")
                options = argparse.Namespace(size=(64, 36), rate=10, output=output)
                with self.assertRaises(SystemExit) as stopped:
                    capture.film(options, Path(work), stall_seconds=20)
                self.assertIn(message, str(stopped.exception))
                self.assertEqual(output.read_bytes(), b"an earlier film")
                self.assertEqual([p.name for p in output.parent.iterdir()], ["film.mp4"])


class OtherKeys(unittest.TestCase):
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
            desk.press("alt+F4")
            sent = rig.wine_clock()
            self.assertEqual(demo.run.wait(timeout=30), 0)
            self.assertLessEqual(frames_after(demo.run.trace, sent), 3)


class Files(unittest.TestCase):
    def test_the_program_opens_no_file_of_its_own(self):
        with rig.Desktop() as desk:
            run = desk.run(rig.windows_program("zeltavo"), winedebug="+file,+loaddll")
            run.find_window(title="zeltavo", timeout=30)
            time.sleep(3.0)
            desk.press("Escape")
            self.assertEqual(run.wait(timeout=30), 0)
            trace = run.trace
        # Every file a program opens by name goes through CreateFileW. On the program's
        # thread only Wine's own modules open files, all in Wine's system folder. (Wine's
        # service processes, started alongside, open pipes and files of their own.)
        thread = next(c.thread for c in rig.trace_calls(trace, "loaddll")
                      if re.search(r'Loaded L"[^"]*zeltavo\.exe"', c.args))
        opened = [re.match(r'L"((?:[^"\\]|\\.)*)"', c.args)
                  for c in rig.trace_calls(trace, "file", "CreateFileW") if c.thread == thread]
        paths = [m[1].replace("\\\\", "\\") for m in opened if m]
        self.assertTrue(paths, "no CreateFileW in the trace: is the file channel traced?")
        others = [p for p in paths if not p.lower().startswith("c:\\windows\\")]
        self.assertEqual(others, [])


class FailedStartUp(unittest.TestCase):
    def test_without_a_feature_level_11_device_the_program_ends_with_code_1(self):
        with rig.Desktop() as desk:
            # Wine then offers nothing above shader model 3: no feature level 11_0.
            demo = DemoRun(desk, env={"WINE_D3D_CONFIG": "MaxShaderModelPS=3"})
            exit_code = demo.run.wait(timeout=60)
            wall_seconds = demo.run.wall_seconds
            crash, trace = demo.crash(), demo.run.trace
        self.assertEqual((exit_code, crash), (1, None))
        self.assertLess(wall_seconds, 30.0)
        self.assertIn("D3D11CreateDeviceAndSwapChain Failed to create a device", trace)
        self.assertEqual(frames(trace), [])
        self.assertFalse("d3d11_swapchain_Present" in trace, "a frame was presented")
        self.assertTrue("NtUserDestroyWindow (%s)" % main_window_handle(trace, desk.size) in trace,
                        "the window was not destroyed")

    def test_without_its_window_class_the_program_ends_with_code_minus_1(self):
        # A stand-in winmm.dll beside a copy of the program registers the class "MAIN"
        # for the program's module before WinMain runs (fixtures/class_taken.cpp).
        with tempfile.TemporaryDirectory(prefix="zeltavo-class-") as folder:
            shutil.copy(rig.windows_program("zeltavo"), folder)
            shutil.copy(Path(os.environ["ZELTAVO_WINDOWS_BIN"], "class_taken", "winmm.dll"), folder)
            with rig.Desktop() as desk:
                run = desk.run(Path(folder, "zeltavo.exe"), winedebug="+loaddll,+win",
                               env={"WINEDLLOVERRIDES": "mscoree,mshtml=;winmm=n"})
                exit_code = run.wait(timeout=60)
                trace = run.trace
        stand_in = r'Loaded L"[^"]*zeltavo-class-\w+\\+winmm\.dll" at \w+: native'
        self.assertIsNotNone(re.search(stand_in, trace, re.IGNORECASE), "no stand-in winmm.dll")
        self.assertEqual(exit_code, rig.wine_exit_code(-1))
        self.assertNotIn('L"zeltavo" L"MAIN"', trace, "a window was created")
        self.assertEqual(frames(trace), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
