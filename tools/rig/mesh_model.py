"""What the demo should show of its mesh, worked out independently of the program: the
embedded mesh file, the camera as the demo describes it, and a coarse rasteriser.

Masks are boolean images at a quarter of the screen's resolution (480 by 270 on a
1920 by 1080 screen; the aspect ratio follows the screen, the vertical field of view
stays fixed). A mask
of triangles is the union of their projections, which is what a frame covers whatever
the depth order: the depth test only decides which of them shows in each pixel.
"""
import functools
import json
import math
import os
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

SCALE = 4  # screen pixels per mask pixel, each way

# The counts, the rates and the camera, as the build wrote them from the timeline's and
# the mesh's headers (tools/rig/timeline_constants.cpp); single-precision values exactly.
CONSTANTS = json.loads(Path(os.environ.get(
    "ZELTAVO_CONSTANTS_FILE",
    Path(__file__).resolve().parents[2] / "build" / "timeline_constants.json")).read_text())
VERTEX_COUNT = CONSTANTS["MeshVertexCount"]
INDEX_COUNT = CONSTANTS["MeshIndexCount"]
INDICES_PER_SECOND = CONSTANTS["DrawIndicesPerSecond"]
SPIN_PER_SECOND = CONSTANTS["SpinRadiansPerSecond"]
RUN_SECONDS = CONSTANTS["RunSeconds"]

EYE = np.array(CONSTANTS["CameraEye"])
FOCUS = np.array(CONSTANTS["CameraFocus"])
UP = np.array(CONSTANTS["CameraUp"])
FOV_Y, NEAR, FAR = (CONSTANTS[name] for name in ("CameraFieldOfViewY", "CameraNearZ",
                                                  "CameraFarZ"))


def load_mesh(path=None):
    """(positions, triangles) of the mesh file: raw vertex records, then raw indices."""
    data = Path(path or os.environ["ZELTAVO_MESH_FILE"]).read_bytes()
    vertex_bytes = VERTEX_COUNT * 28
    records = np.frombuffer(data[:vertex_bytes], dtype="<f4").reshape(VERTEX_COUNT, 7)
    indices = np.frombuffer(data[vertex_bytes:], dtype="<u4")
    assert indices.size == INDEX_COUNT
    return records[:, :3].astype(np.float64), indices.reshape(-1, 3)


def world_to_clip(aspect, eye=tuple(EYE)):
    """Row-vector matrix of the fixed camera (or of one whose eye is elsewhere): left-handed
    look-at, then a left-handed perspective projection with depth from 0 to 1."""
    eye = np.array(eye)
    forward = (FOCUS - eye) / np.linalg.norm(FOCUS - eye)
    right = np.cross(UP, forward)
    right /= np.linalg.norm(right)
    up = np.cross(forward, right)
    view = np.identity(4)
    view[:3, 0], view[:3, 1], view[:3, 2] = right, up, forward
    view[3, :3] = [-right @ eye, -up @ eye, -forward @ eye]
    y_scale = 1.0 / math.tan(FOV_Y / 2)
    projection = np.zeros((4, 4))
    projection[0, 0] = y_scale / aspect
    projection[1, 1] = y_scale
    projection[2, 2] = FAR / (FAR - NEAR)
    projection[3, 2] = -NEAR * FAR / (FAR - NEAR)
    projection[2, 3] = 1.0
    return view @ projection


def model_to_clip(angle, aspect=16 / 9, eye=tuple(EYE)):
    """Row-vector matrix from model space to clip space at a spin angle about y."""
    c, s = math.cos(angle), math.sin(angle)
    spin = np.array([[c, 0, -s, 0], [0, 1, 0, 0], [s, 0, c, 0], [0, 0, 0, 1.0]])
    return spin @ world_to_clip(aspect, eye)


def clip_positions(positions, matrix):
    return np.hstack([positions, np.ones((len(positions), 1))]) @ matrix


def screen_positions(clip, size):
    """Window coordinates in screen pixels (x right, y down) of clip-space positions."""
    ndc = clip[:, :2] / clip[:, 3:4]
    return np.column_stack([(ndc[:, 0] + 1) / 2 * size[0], (1 - ndc[:, 1]) / 2 * size[1]])


def front_facing(screen, triangles):
    """Triangles that run clockwise on the screen: those the default state draws."""
    a, b, c = (screen[triangles[:, k]] for k in range(3))
    cross = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (c[:, 0] - a[:, 0]) * (b[:, 1] - a[:, 1])
    return cross > 0  # y runs down, so a positive cross product is clockwise


def draw_mask(screen, triangles, size):
    """Drawn at the screen's resolution and reduced like a screenshot, so that the thin
    edge every filled polygon adds stays within its block."""
    image = Image.new("1", size, 0)
    draw = ImageDraw.Draw(image)
    for corners in screen[triangles].tolist():
        draw.polygon([tuple(p) for p in corners], fill=1)
    return downsample(np.array(image, dtype=bool))


class Mesh:
    """The mesh as a screen of size (width, height) pixels shows it."""

    def __init__(self, path=None, size=(1920, 1080)):
        self.positions, self.triangles = load_mesh(path)
        self.size = size
        self.aspect = size[0] / size[1]

    def screen(self, angle, eye=tuple(EYE)):
        clip = clip_positions(self.positions, model_to_clip(angle, self.aspect, eye))
        return screen_positions(clip, self.size)

    def cover(self, matrix):
        """What the front faces of the whole mesh cover through any matrix, leaving out
        triangles that reach behind the eye (w <= 0)."""
        clip = clip_positions(self.positions, matrix)
        ahead = (clip[self.triangles, 3] > 0).all(axis=1)
        screen = screen_positions(np.where(clip[:, 3:4] > 0, clip, 1.0), self.size)
        triangles = self.triangles[ahead]
        return draw_mask(screen, triangles[front_facing(screen, triangles)], self.size)

    def outline(self, angle):
        """Everything the whole mesh covers at this angle: the mesh is closed, so that is
        what its front faces cover."""
        return self.drawn(angle, INDEX_COUNT)

    # Several checks ask for the same moments; each mask is drawn once. Callers must not
    # change the arrays they get.
    @functools.lru_cache(maxsize=None)
    def drawn(self, angle, index_count, eye=tuple(EYE)):
        """What a frame drawing the first index_count indices covers (seen from eye)."""
        screen = self.screen(angle, eye)
        prefix = self.triangles[:index_count // 3]
        return draw_mask(screen, prefix[front_facing(screen, prefix)], self.size)


def index_count_at(seconds):
    """The draw count of a steady run at this moment (rising for 30 s, then falling)."""
    progress = seconds if seconds <= 30.0 else 60.0 - seconds
    return int(max(0.0, progress) * INDICES_PER_SECOND)


def downsample(mask):
    """A full-resolution mask at mask resolution: a block counts if half of it is set."""
    h, w = mask.shape[0] // SCALE, mask.shape[1] // SCALE
    blocks = mask[:h * SCALE, :w * SCALE].reshape(h, SCALE, w, SCALE)
    return blocks.mean(axis=(1, 3)) >= 0.5


def erode(mask, steps=1):
    for _ in range(steps):
        inner = mask.copy()
        inner[1:, :] &= mask[:-1, :]
        inner[:-1, :] &= mask[1:, :]
        inner[:, 1:] &= mask[:, :-1]
        inner[:, :-1] &= mask[:, 1:]
        inner[0, :] = inner[-1, :] = inner[:, 0] = inner[:, -1] = False
        mask = inner
    return mask


def components(mask):
    """Sizes of the 4-connected components of a mask, largest first."""
    seen = np.zeros_like(mask)
    sizes = []
    for start in zip(*np.nonzero(mask)):
        if seen[start]:
            continue
        seen[start] = True
        stack, size = [start], 0
        while stack:
            y, x = stack.pop()
            size += 1
            for ny, nx in ((y - 1, x), (y + 1, x), (y, x - 1), (y, x + 1)):
                if 0 <= ny < mask.shape[0] and 0 <= nx < mask.shape[1] and mask[ny, nx] \
                        and not seen[ny, nx]:
                    seen[ny, nx] = True
                    stack.append((ny, nx))
        sizes.append(size)
    return sorted(sizes, reverse=True)
