"""The soundtrack as a user meets it: zeltavo.exe under Wine starts its own WAVE
resource just before its clock starts, and plays it if there is somewhere to play it.

Wine's sound goes through ALSA, so an ALSA configuration of the test's own (in a HOME of
its own) either sends the default output to a file or leaves no device at all. The
generated track is ZELTAVO_MUSIC_FILE.
"""
import os
import re
import tempfile
import unittest
from pathlib import Path

import numpy as np

import rig  # noqa: E402
from film import CAPTURE_RC, draw_counts, envelope, frames, ramp_seconds, read_wave  # noqa: E402

TRACE = "+winmm,+d3d11,+loaddll"
SND_ASYNC, SND_RESOURCE = 0x1, 0x40004
# No sound driver at all: the demo plays to no device.
NO_AUDIO = {"WINEDLLOVERRIDES": "mscoree,mshtml,winealsa.drv,winepulse.drv,wineoss.drv="}
class Playback(unittest.TestCase):
    def run_demo(self, seconds, env):
        with rig.Desktop() as desk:
            run = desk.run(rig.windows_program("zeltavo"), env=env, winedebug=TRACE)
            run.find_window(title="zeltavo", timeout=30)
            # Until a frame shows that the program's clock has run this long, however slow
            # the machine is to start the program.
            rig.wait_for(lambda: any(ramp_seconds(rgba) >= seconds for _, rgba in frames(run.trace)),
                         120, "a frame of %.0f s" % seconds, step=0.2)
            desk.press("Escape")
            code = run.wait(timeout=30)
            return code, run.trace

    def check_started_from_the_resource(self, trace):
        """The one PlaySoundW of the run: resource 101 of the executable itself,
        asynchronous, after set-up and before the first frame, and found."""
        calls = list(rig.trace_calls(trace, "winmm", "MULTIMEDIA_PlaySound"))
        self.assertEqual(len(calls), 1, "PlaySoundW calls")
        match = re.fullmatch(r"pszSound='0+65' hmod=(\w+) fdwSound=(\w+)", calls[0].args)
        self.assertIsNotNone(match, calls[0].args)
        self.assertEqual(int(match[2], 16), SND_RESOURCE | SND_ASYNC)
        # The module handle is zeltavo.exe's own: where the loader put it.
        loaded = re.search(r'Loaded L"[^"]*zeltavo\.exe" at (\w+)', trace)
        self.assertEqual(int(match[1], 16), int(loaded[1], 16))
        order = [line for line in trace.splitlines()
                 if "d3d11_device_CreateBuffer" in line or "MULTIMEDIA_PlaySound" in line
                 or "ClearRenderTargetView" in line]
        kinds = ["PlaySound" if "PlaySound" in line else "CreateBuffer"
                 if "CreateBuffer" in line else "Clear" for line in order]
        self.assertEqual(kinds[:5], ["CreateBuffer"] * 3 + ["PlaySound", "Clear"])
        # Found in the executable's resources: a RIFF/WAVE of the track's format.
        self.assertIn("proc_PlaySound Memory sound", trace)
        self.assertIn("ParentChunk ckid=RIFF fccType=WAVE cksize=0107AC48", trace)
        self.assertIn("nSamplesPerSec=48000", trace)

    def test_the_track_plays_from_the_first_frame_on(self):
        home = Path(self.enterContext(tempfile.TemporaryDirectory(prefix="zeltavo-sound-")))
        captured = home / "captured.wav"
        (home / ".asoundrc").write_text(CAPTURE_RC % captured)
        code, trace = self.run_demo(5.0, {"HOME": str(home)})
        self.assertEqual(code, 0)
        self.check_started_from_the_resource(trace)
        self.assertRegex(trace, r"waveOutOpen")
        self.assertNotIn("=> ko", trace, "the track did not play")

        rate, channels, sound = read_wave(captured.read_bytes())
        track_rate, _, track = read_wave(Path(os.environ["ZELTAVO_MUSIC_FILE"]).read_bytes())
        self.assertEqual((rate, channels), (track_rate, 2))
        self.assertGreater(len(sound), 3 * rate, "less than 3 s of sound reached the device")
        # The level, 50 ms at a time, follows the track's from its first sample on.
        heard = envelope(sound[:3 * rate], rate)
        played = envelope(track[:3 * rate], rate)
        self.assertGreater(np.corrcoef(heard, played)[0, 1], 0.95)
        self.assertLess(np.max(np.abs(heard - played)), 1.0)

    def test_without_an_audio_device_the_picture_runs_all_the_same(self):
        code, trace = self.run_demo(5.0, NO_AUDIO)
        self.assertEqual(code, 0)
        self.check_started_from_the_resource(trace)
        self.assertIn("=> ko", trace, "a sound device was found after all")
        draws = draw_counts(trace)
        # Five seconds of reveal: the count rose to about 5 x 14,404.6.
        self.assertGreater(len(draws), 20)
        self.assertGreater(max(draws), 60_000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
