"""Self-test of the e2e rig against fixtures/probe_window.cpp under real Wine."""
import unittest
from pathlib import Path

import numpy as np

import rig  # noqa: E402

FILL = (32, 160, 96)  # kFill in probe_window.cpp


def alive(pid):
    """True unless the pid is gone; zombies count as gone-but-unreaped, i.e. alive."""
    return Path("/proc", str(pid)).exists()


class ProbeWindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.probe = rig.windows_program("probe_window")
        cls.desk = rig.Desktop().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.desk.__exit__(None, None, None)

    def test_popup_window_is_found_photographed_and_closed_by_escape(self):
        run = self.desk.run(self.probe, 30, winedebug="+win,+cursor")
        wid = run.find_window(title="probe")
        self.assertEqual(self.desk.window_geometry(wid), (0, 0, 1920, 1080))
        props = self.desk.window_props(wid)
        self.assertEqual(props["title"], "probe")
        # X sees the exe's file name as the class, not the Windows class "PROBE".
        self.assertEqual(props["wm_class"], (self.probe.name, self.probe.name))
        self.assertEqual(props["pid"], run.pid)
        self.assertFalse(props["decorated"])
        self.assertFalse(props["override_redirect"])
        self.assertTrue(props["viewable"])
        self.assertIn("_NET_WM_STATE_FULLSCREEN", props["states"])
        self.assertEqual(self.desk.find_window(cls=self.probe.name), wid)

        # The fill is painted asynchronously after the window maps.
        def filled():
            shot = self.desk.screenshot()
            return shot if (shot.pixels == FILL).all(axis=2).mean() > 0.999 else None
        shot = rig.wait_for(filled, 10, "probe fill colour")
        self.assertEqual(shot.pixels.shape, (1080, 1920, 3))
        self.assertEqual(shot.pixels.dtype, np.uint8)

        self.assertEqual(self.desk.active_window(), wid)
        self.desk.press("Escape")  # XTEST, to whatever has focus
        self.assertEqual(run.wait(10), 0)

        created = [c for c in rig.trace_calls(run.trace, "win", "WIN_CreateWindowEx")
                   if c.args.startswith('"probe" L"PROBE"')]
        self.assertEqual(len(created), 1, run.trace[-3000:])
        self.assertIn("style=90000000", created[0].args)  # WS_POPUP | WS_VISIBLE
        self.assertIn("0,0 1920x1080", created[0].args)
        # Trace time is rig.wine_clock()'s clock, seen through a tick count that
        # lags by up to tens of ms (0.05 s seen); 0.5 s still tells clocks apart.
        self.assertLessEqual(run.started - 0.5, created[0].timestamp)
        self.assertLessEqual(created[0].timestamp, shot.t_after + 0.5)

        # WM_ACTIVATE hides and confines the cursor.
        shows = [c.args for c in rig.trace_calls(run.trace, "cursor", "NtUserShowCursor")]
        self.assertIn("0, count=-1", shows)
        clips = [c.args for c in rig.trace_calls(run.trace, "cursor", "NtUserClipCursor")]
        self.assertIn("Clipping to (0,0)-(1920,1080)", clips)

    def test_exit_codes_read_back_as_their_low_byte(self):
        # Q exits with -1, no key within the timeout with 3.
        run = self.desk.run(self.probe, 30)
        self.desk.press("q", run.find_window(title="probe"))
        self.assertEqual(run.wait(10), rig.wine_exit_code(-1))
        self.assertEqual(rig.wine_exit_code(-1), 255)
        self.assertNotIn(":trace:", run.trace)  # WINEDEBUG=-all without winedebug
        run = self.desk.run(self.probe, 1)
        self.assertEqual(run.wait(20), 3)
        self.assertGreaterEqual(run.wall_seconds, 1.0)

    def test_a_crash_of_the_program_is_told_by_its_thread_and_its_exit_code(self):
        # C: an unhandled access violation (c0000005) on the main thread. The process ends
        # itself with the code; a debugger started for it would kill it, and its exit
        # status would then be 0 now and then (2 in 40), so no process may start after the
        # crash. (The desktop's explorer.exe may have started in the stream before it.)
        run = self.desk.run(self.probe, 30, winedebug="+win")
        self.desk.press("c", run.find_window(title="probe"))
        self.assertEqual(run.wait(60), 0xc0000005 & 0xFF)
        crash = run.crash() or ""
        self.assertRegex(crash, r"^wine: Unhandled .* \(thread [0-9a-f]+\)")
        self.assertIsNotNone(rig.windows_pid(run.trace, run.args[0]))  # told by its process
        before, after = run.trace.split(crash, 1)
        processes = lambda text: {c.pid for c in rig.trace_calls(text, kind=None)}
        self.assertEqual(processes(after) - processes(before), set(), after[-2000:])


class TraceParsingTest(unittest.TestCase):
    TEXT = "\n".join([
        "it looks like wine32 is missing, you should install it.",
        "1234.567:0024:trace:d3d11:d3d11_create_device adapter 0000, levels 1",
        "0024:trace:d3d11:d3d11_create_device adapter 0001, levels 2",
        "1235.000:0020:0028:trace:d3d11:d3d11_device_Release refcount 0",
        "1235.100:0024:fixme:d3d11:d3d11_create_device something odd",
        "1235.200:0024:trace:dxgi:d3d11_create_device other channel",
    ])

    def test_lines_of_one_channel_and_function(self):
        calls = list(rig.trace_calls(self.TEXT, "d3d11", "d3d11_create_device"))
        self.assertEqual([(c.timestamp, c.thread, c.args) for c in calls], [
            (1234.567, "0024", "adapter 0000, levels 1"),
            (None, "0024", "adapter 0001, levels 2")])
        everything = list(rig.trace_calls(self.TEXT, "d3d11"))
        self.assertEqual([c.function for c in everything],
                         ["d3d11_create_device", "d3d11_create_device", "d3d11_device_Release"])
        fixmes = list(rig.trace_calls(self.TEXT, "d3d11", kind="fixme"))
        self.assertEqual([c.args for c in fixmes], ["something odd"])

    def test_a_crash_line_counts_only_from_the_programs_own_process(self):
        stream = "\n".join([
            r'1.0:0020:0024:trace:loaddll:build_module Loaded L"Z:\\bin\\probe.exe" at 1: native',
            "1.1:0030:0034:trace:win:WIN_CreateWindowEx a helper's window",
            "wine: Unhandled page fault on read access to 0 at address 1 (thread 0034), "
            "starting debugger...",
            "1.2:0020:0024:trace:win:WIN_CreateWindowEx the program's window"])
        self.assertIsNone(rig.program_crash(stream, "probe.exe", 0))
        own = stream.replace("0030:0034", "0020:0034")
        self.assertRegex(rig.program_crash(own, "probe.exe", 5), r"\(thread 0034\)")
        # Untraced, only the exit code tells.
        untraced = stream.splitlines()[2]
        self.assertEqual(rig.program_crash(untraced, "probe.exe", 5), untraced)
        self.assertIsNone(rig.program_crash(untraced, "probe.exe", 0))
        self.assertRegex(rig.program_crash("", "probe.exe", -11), "SIGSEGV")


class DesktopCleanupTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.probe = rig.windows_program("probe_window")

    def check_all_gone(self, desk, inside):
        self.assertTrue(inside, "no wine/X processes seen while the desktop ran")
        self.assertTrue(set(inside) <= desk.seen_pids)
        self.assertEqual([p for p in desk.seen_pids if alive(p)], [])
        self.assertEqual(rig.descendants(), [])
        self.assertFalse(Path("/tmp/.X11-unix", "X" + desk.display[1:]).exists())

    def test_nothing_survives_a_normal_exit(self):
        with rig.Desktop() as desk:
            run = desk.run(self.probe, 30)  # left running on purpose
            run.find_window(title="probe")
            inside = rig.descendants()
            self.assertIn(run.pid, inside)
        self.check_all_gone(desk, inside)

    def test_nothing_survives_an_exception(self):
        with self.assertRaises(ZeroDivisionError):
            with rig.Desktop() as desk:
                run = desk.run(self.probe, 30)
                run.find_window(title="probe")
                inside = rig.descendants()
                1 / 0
        self.check_all_gone(desk, inside)


if __name__ == "__main__":
    unittest.main()
