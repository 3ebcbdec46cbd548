"""The compiled shader containers, read from their own chunks: the signatures that the
input layout and the other stage are matched against, and the constant buffer that the
frame fills. Paths come from ZELTAVO_SHADER_DIR (vertex_shader.cso, pixel_shader.cso).
"""
import math
import os
import struct
import unittest
from pathlib import Path

SHADER_DIR = Path(os.environ.get("ZELTAVO_SHADER_DIR", "."))

# Register component types and system values of signature elements.
FLOAT32 = 3
SV_UNDEFINED, SV_POSITION, SV_TARGET = 0, 1, 64
# Resource-binding and variable classes of the resource definition.
SIT_CBUFFER = 0
SVC_MATRIX_COLUMNS = 3
SVT_FLOAT = 3


def read_chunks(data):
    """{fourcc: chunk bytes} of a compiled shader container, checking its framing."""
    if data[:4] != b"DXBC":
        raise ValueError("not a compiled shader container")
    total, count = struct.unpack_from("<II", data, 24)
    if total != len(data):
        raise ValueError("container size field %d, file %d bytes" % (total, len(data)))
    chunks = {}
    for offset in struct.unpack_from("<%dI" % count, data, 32):
        fourcc, size = data[offset:offset + 4].decode(), struct.unpack_from("<I", data, offset + 4)[0]
        if offset + 8 + size > len(data):
            raise ValueError("chunk %s runs past the end" % fourcc)
        chunks[fourcc] = data[offset + 8:offset + 8 + size]
    return chunks


# The container checksum: MD5's rounds over everything after the checksum field, with
# the container's own padding of the last block. Windows refuses a container whose
# checksum is wrong, where Wine takes it as it is.
_SHIFTS = [7, 12, 17, 22] * 4 + [5, 9, 14, 20] * 4 + [4, 11, 16, 23] * 4 + [6, 10, 15, 21] * 4
_SINES = [int(abs(math.sin(i + 1)) * 2 ** 32) & 0xFFFFFFFF for i in range(64)]


def _md5_block(state, block):
    words = struct.unpack("<16I", block)
    a, b, c, d = state
    for i in range(64):
        if i < 16:
            f, g = (b & c) | (~b & d), i
        elif i < 32:
            f, g = (d & b) | (~d & c), (5 * i + 1) % 16
        elif i < 48:
            f, g = b ^ c ^ d, (3 * i + 5) % 16
        else:
            f, g = c ^ (b | (~d & 0xFFFFFFFF)), (7 * i) % 16
        f = (f + a + _SINES[i] + words[g]) & 0xFFFFFFFF
        rotated = ((f << _SHIFTS[i]) | (f >> (32 - _SHIFTS[i]))) & 0xFFFFFFFF
        a, d, c, b = d, c, b, (b + rotated) & 0xFFFFFFFF
    return [(x + y) & 0xFFFFFFFF for x, y in zip(state, (a, b, c, d))]


def container_checksum(data):
    body = data[20:]
    bits = len(body) * 8
    state = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476]
    whole = len(body) // 64 * 64
    for offset in range(0, whole, 64):
        state = _md5_block(state, body[offset:offset + 64])
    rest = body[whole:]
    # The bit count leads the last block and a variant of it ends it.
    tail = struct.pack("<I", (bits >> 2) | 1)
    if len(rest) >= 56:
        state = _md5_block(state, (rest + b"\x80").ljust(64, b"\0"))
        last = struct.pack("<I", bits) + b"\0" * 56 + tail
    else:
        last = (struct.pack("<I", bits) + rest + b"\x80").ljust(60, b"\0") + tail
    return struct.pack("<4I", *_md5_block(state, last))


def c_string(chunk, offset):
    return chunk[offset:chunk.index(b"\0", offset)].decode()


def signature(chunk):
    """(semantic, index, system value, component type, register, mask, read/write mask)
    of each element of an ISGN or OSGN chunk."""
    count, _ = struct.unpack_from("<II", chunk, 0)
    elements = []
    for i in range(count):
        name, index, system_value, component_type, register, mask, rw_mask = struct.unpack_from(
            "<IIIIIBB", chunk, 8 + 24 * i)
        elements.append((c_string(chunk, name), index, system_value, component_type, register,
                         mask, rw_mask))
    return elements


def resource_definition(chunk):
    """({binding name: (type, register, count)}, {buffer name: (size, [variables])}) of an
    RDEF chunk; each variable is (name, offset, size, class, type, rows, columns)."""
    cb_count, cb_offset, bind_count, bind_offset = struct.unpack_from("<IIII", chunk, 0)
    bindings = {}
    for i in range(bind_count):
        name, kind, _, _, _, register, count, _ = struct.unpack_from("<8I", chunk, bind_offset + 32 * i)
        bindings[c_string(chunk, name)] = (kind, register, count)
    buffers = {}
    for i in range(cb_count):
        name, var_count, var_offset, size, _, _ = struct.unpack_from("<6I", chunk, cb_offset + 24 * i)
        variables = []
        for k in range(var_count):
            var_name, start, var_size, _, type_offset, _ = struct.unpack_from(
                "<6I", chunk, var_offset + 24 * k)
            var_class, var_type, rows, columns = struct.unpack_from("<4H", chunk, type_offset)
            variables.append((c_string(chunk, var_name), start, var_size, var_class, var_type,
                              rows, columns))
        buffers[c_string(chunk, name)] = (size, variables)
    return bindings, buffers


def load(name):
    return read_chunks((SHADER_DIR / (name + ".cso")).read_bytes())


class Containers(unittest.TestCase):
    def test_carry_the_checksum_that_windows_verifies(self):
        for name in ("vertex_shader", "pixel_shader"):
            data = (SHADER_DIR / (name + ".cso")).read_bytes()
            self.assertEqual(container_checksum(data), data[4:20], name)
            damaged = data[:-1] + bytes([data[-1] ^ 1])
            self.assertNotEqual(container_checksum(damaged), data[4:20], name)


class VertexProgram(unittest.TestCase):
    def setUp(self):
        self.chunks = load("vertex_shader")

    def test_is_shader_model_4_0_vertex_code(self):
        self.assertTrue({"RDEF", "ISGN", "OSGN"} <= set(self.chunks))
        code = self.chunks.get("SHDR") or self.chunks["SHEX"]
        version = struct.unpack_from("<I", code, 0)[0]
        self.assertEqual(version >> 16, 1, "program type: vertex")
        self.assertEqual((version >> 4) & 0xF, 4)
        self.assertEqual(version & 0xF, 0)

    def test_reads_the_position_of_the_vertex_record_and_declares_its_colour(self):
        elements = signature(self.chunks["ISGN"])
        self.assertEqual([e[:6] for e in elements], [
            ("POSITION", 0, SV_UNDEFINED, FLOAT32, 0, 0b0111),
            ("COLOR", 0, SV_UNDEFINED, FLOAT32, 1, 0b1111),
        ])
        # The last mask is the compiler's view of the components used; some compilers
        # count every declared component, so only what must be read is checked.
        self.assertEqual(elements[0][6], 0b0111)

    def test_writes_a_clip_space_position_and_a_colour(self):
        # For outputs the second mask holds the components never written: none.
        self.assertEqual(signature(self.chunks["OSGN"]), [
            ("SV_POSITION", 0, SV_POSITION, FLOAT32, 0, 0b1111, 0b0000),
            ("COLOR", 0, SV_UNDEFINED, FLOAT32, 1, 0b1111, 0b0000),
        ])

    def test_takes_one_column_major_matrix_from_constant_buffer_0(self):
        bindings, buffers = resource_definition(self.chunks["RDEF"])
        self.assertEqual(bindings, {"TransformationBuffer": (SIT_CBUFFER, 0, 1)})
        self.assertEqual(buffers, {"TransformationBuffer": (64, [
            ("transformMatrix", 0, 64, SVC_MATRIX_COLUMNS, SVT_FLOAT, 4, 4)])})


class PixelProgram(unittest.TestCase):
    def setUp(self):
        self.chunks = load("pixel_shader")

    def test_is_shader_model_4_0_pixel_code(self):
        code = self.chunks.get("SHDR") or self.chunks["SHEX"]
        version = struct.unpack_from("<I", code, 0)[0]
        self.assertEqual(version >> 16, 0, "program type: pixel")
        self.assertEqual(((version >> 4) & 0xF, version & 0xF), (4, 0))

    def test_input_matches_the_vertex_output_and_reads_the_whole_colour(self):
        vertex_output = signature(load("vertex_shader")["OSGN"])
        pixel_input = signature(self.chunks["ISGN"])
        # The same elements in the same registers; only what each stage uses differs.
        self.assertEqual([e[:6] for e in pixel_input], [e[:6] for e in vertex_output])
        self.assertEqual(pixel_input[1][6], 0b1111)

    def test_writes_all_four_channels_of_render_target_0(self):
        self.assertEqual(signature(self.chunks["OSGN"]), [
            ("SV_TARGET", 0, SV_UNDEFINED, FLOAT32, 0, 0b1111, 0b0000)])

    def test_uses_no_constants_or_resources(self):
        bindings, buffers = resource_definition(self.chunks["RDEF"])
        self.assertEqual((bindings, buffers), ({}, {}))


if __name__ == "__main__":
    unittest.main(verbosity=2)
