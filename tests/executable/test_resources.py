"""The built executable's resources: exactly the music track and the manifest, each as
the build made it. Paths come from ZELTAVO_EXE, ZELTAVO_MUSIC_FILE, ZELTAVO_MANIFEST.
"""
import os
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

RT_MANIFEST = 24
ENGLISH_US = 1033


def resources(pe):
    """[(type, name, language, bytes)] of every resource; a type or name given as a
    string stays a string, an integer identifier an int."""
    found = []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        kind_id = str(kind.name) if kind.name is not None else kind.id
        for name in kind.directory.entries:
            name_id = str(name.name) if name.name is not None else name.id
            for language in name.directory.entries:
                data = language.data.struct
                found.append((kind_id, name_id, language.id,
                              pe.get_data(data.OffsetToData, data.Size)))
    return found


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        pe = pefile.PE(os.environ["ZELTAVO_EXE"], fast_load=True)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        cls.resources = resources(pe)

    def test_exactly_the_track_and_the_manifest(self):
        self.assertEqual([r[:3] for r in self.resources],
                         [("WAVE", 101, ENGLISH_US), (RT_MANIFEST, 1, ENGLISH_US)])

    def test_the_track_is_the_generated_file_to_the_byte(self):
        track = Path(os.environ["ZELTAVO_MUSIC_FILE"]).read_bytes()
        self.assertEqual(len(track), 17_280_080)
        self.assertTrue(self.resources[0][3] == track, "the embedded track differs")

    def test_the_manifest_is_the_project_manifest_to_the_byte(self):
        manifest = Path(os.environ["ZELTAVO_MANIFEST"]).read_bytes()
        self.assertEqual(self.resources[1][3], manifest)


class Manifest(unittest.TestCase):
    """The manifest asks for the user's own rights and the segment heap, and nothing
    else: no DPI awareness, no supported-OS list, no dependencies."""

    def setUp(self):
        self.text = Path(os.environ["ZELTAVO_MANIFEST"]).read_bytes()

    def test_is_utf8_with_a_byte_order_mark_and_a_standalone_declaration(self):
        self.assertTrue(self.text.startswith(
            b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))
        self.text.decode("utf-8")

    def test_declares_the_two_settings_and_nothing_else(self):
        root = ElementTree.fromstring(self.text.decode("utf-8-sig"))
        asm_v1, asm_v3 = "urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3"
        settings = "http://schemas.microsoft.com/SMI/2020/WindowsSettings"
        self.assertEqual(root.tag, "{%s}assembly" % asm_v1)
        self.assertEqual(root.get("manifestVersion"), "1.0")
        leaves = {element.tag: (dict(element.attrib), (element.text or "").strip())
                  for element in root.iter() if len(element) == 0}
        self.assertEqual(leaves, {
            "{%s}requestedExecutionLevel" % asm_v3: (
                {"level": "asInvoker", "uiAccess": "false"}, ""),
            "{%s}heapType" % settings: ({}, "SegmentHeap"),
        })


if __name__ == "__main__":
    unittest.main(verbosity=2)
