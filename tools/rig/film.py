"""What the end-to-end tests and the tools that film and plot a run read from it: each
frame's background colour and draw count from Wine's trace, the moment a background
colour stands for, the frames of frame_capture, and the sound Wine played through an
ALSA configuration that writes it to a file.
"""
import collections
import re
import subprocess
import struct

import numpy as np

import rig
from mesh_model import CONSTANTS

# An ALSA configuration (~/.asoundrc, % the file's path) that sends the default output
# to a WAVE file instead of a device.
CAPTURE_RC = """pcm.!default {
    type file
    slave.pcm "null"
    file "%s"
    format "wav"
}
"""


def ramp_seconds(color):
    """The moment of the background ramp (black, light blue at its middle, white at its
    end) whose red channel this is (exact before the end)."""
    red, middle = color[0], CONSTANTS["RampMiddleColor"][0]
    middle_seconds, end_seconds = CONSTANTS["RampMiddleSeconds"], CONSTANTS["RampEndSeconds"]
    if red <= middle:
        return red / middle * middle_seconds
    return middle_seconds + (red - middle) / (1.0 - middle) * (end_seconds - middle_seconds)


def frames(trace):
    """(timestamp, rgba) of every frame, from its ClearRenderTargetView."""
    result = []
    for call in rig.trace_calls(trace, "d3d11", "d3d11_device_context_ClearRenderTargetView"):
        rgba = re.search(r"color_rgba \{([^}]*)\}", call.args).group(1)
        result.append((call.timestamp, [float(v) for v in rgba.split(",")]))
    return result


# One frame as Wine's trace shows it: the index of its Present among the run's presents,
# when it was presented (Wine's tick, which lags the clock and never leads it), its
# background colour and draw count, and the moment of the run its colour stands for.
Frame = collections.namedtuple("Frame", "number presented rgba count seconds")
_FRAME_CALL = re.compile(
    r"^(?:(?P<ts>\d+\.\d+):)?(?:[0-9a-f]{4,8}:)?[0-9a-f]{4,8}:trace:(?:d3d11|dxgi):"
    r"(?:d3d11_device_context_ClearRenderTargetView .*color_rgba \{(?P<rgba>[^}]*)\}"
    r"|d3d11_device_context_DrawIndexed .*index_count (?P<count>\d+),"
    r"|(?P<present>d3d11_swapchain_Present) )", re.M)


def presented_frames(trace):
    """Every frame that reached its Present, in order, as Frame (+d3d11,+dxgi traced)."""
    result, rgba, count = [], None, 0
    for m in _FRAME_CALL.finditer(trace):
        if m["rgba"]:
            rgba, count = [float(v) for v in m["rgba"].split(",")], 0
        elif m["count"]:
            count = int(m["count"])
        elif rgba is not None:
            result.append(Frame(len(result), float(m["ts"]), rgba, count, ramp_seconds(rgba)))
            rgba = None
    return result


def draw_counts(trace):
    """The index count of every frame's DrawIndexed."""
    return [int(re.search(r"index_count (\d+),", c.args)[1])
            for c in rig.trace_calls(trace, "d3d11", "d3d11_device_context_DrawIndexed")]


def film(desk, size, rate, limit=None, keep=()):
    """Runs frame_capture for frames of this size at this rate (the whole run, or its
    first limit frames) and reads them as it writes them. Returns how many whole frames
    came, {number: RGBA array} of those numbered in keep, the bytes left over after the
    last whole frame and the exit code."""
    width, height = size
    run = desk.run(rig.windows_program("frame_capture"), width, height, rate,
                   *([limit] if limit else []), stdout=subprocess.PIPE)
    frame_bytes = width * height * 4
    count, kept = 0, {}
    while len(data := run.output.read(frame_bytes)) == frame_bytes:
        if count in keep:
            kept[count] = np.frombuffer(data, np.uint8).reshape(height, width, 4)
        count += 1
    run.output.close()
    return count, kept, len(data), run.wait(timeout=60)


def read_wave(data):
    """(rate, channels, frames as float array scaled to +-1) of a PCM WAVE file whose
    data chunk may be unfinished (its size left at 0 by a writer that never closed)."""
    fmt = data.index(b"fmt ")
    tag, channels, rate, _, block, bits = struct.unpack_from("<HHIIHH", data, fmt + 8)
    start = data.index(b"data") + 8
    payload = data[start:]
    payload = payload[:len(payload) // block * block]
    width = bits // 8
    raw = np.frombuffer(payload, np.uint8).reshape(-1, width)
    # Little-endian signed integers of any width, via the top bytes of an int32.
    padded = np.zeros((len(raw), 4), np.uint8)
    padded[:, 4 - width:] = raw
    samples = padded.view("<i4").ravel() / 2.0 ** 31
    return rate, channels, samples.reshape(-1, channels)


def envelope(frames, rate, window=0.05):
    """RMS level in dB of each window of the two channels together."""
    size = int(rate * window)
    blocks = frames[:len(frames) // size * size].reshape(-1, size * frames.shape[1])
    return 10 * np.log10(np.mean(blocks ** 2, axis=1) + 1e-12)
