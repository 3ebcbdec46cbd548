"""The built executable is hardened like a well-made Windows program: address-space
layout randomisation with relocations and high-entropy addresses, no-execute data, an
image base above 4 GiB, no section both writable and executable nor writable and
shared, read-only resources, the GUI subsystem of Windows 6.0, system DLLs only, no link
timestamp and a right header checksum. ZELTAVO_EXE names it.
(Control Flow Guard needs a toolchain that emits its tables; this one does not.)
The build step that makes the resources read-only refuses images it cannot patch safely.
"""
import os
import re
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

import pefile

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "d3d11.dll", "winmm.dll", "msvcrt.dll"}
READONLY_RESOURCES = Path(__file__).resolve().parents[2] / "tools" / "build" / "readonly-resources"


def data_directories(image):
    """Offsets of a PE32+ image's count of data directories and of the directories."""
    optional = struct.unpack_from("<I", image, 0x3C)[0] + 24
    return optional + 108, optional + 112


def truncated(image):
    return image[:len(image) // 2]


def signed(image):
    # An Authenticode certificate table of 8 bytes at the end of the file.
    _, directories = data_directories(image)
    struct.pack_into("<2I", image, directories + 8 * 4, len(image), 8)
    return image


def short_directory_table(image):
    count, _ = data_directories(image)
    struct.pack_into("<I", image, count, 4)  # no room for the security entry
    return image


def no_resource_directory(image):
    _, directories = data_directories(image)
    struct.pack_into("<2I", image, directories + 8 * 2, 0, 0)
    return image


class Hardening(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(os.environ["ZELTAVO_EXE"])

    def test_randomised_and_no_execute(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):
            self.assertTrue(flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + name],
                            name)
        # Randomisation needs the relocations to move the image.
        relocations = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        self.assertGreater(relocations.Size, 0)
        self.assertFalse(self.pe.FILE_HEADER.Characteristics
                         & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"])
        self.assertGreater(self.pe.OPTIONAL_HEADER.ImageBase, 1 << 32)

    def test_no_section_is_writable_and_executable_or_shared(self):
        write = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
        execute = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
        shared = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_SHARED"]
        for section in self.pe.sections:
            name = section.Name.rstrip(b"\0").decode()
            flags = section.Characteristics
            self.assertFalse(flags & write and flags & execute, name)
            self.assertFalse(flags & write and flags & shared, name)

    def test_resources_are_read_only(self):
        [resources] = [section for section in self.pe.sections
                       if section.Name.rstrip(b"\0") == b".rsrc"]
        self.assertFalse(resources.Characteristics
                         & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"])
        self.assertTrue(resources.Characteristics
                        & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_READ"])

    def test_a_gui_program_for_windows_6_importing_system_dlls_only(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
        self.assertEqual((header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
                         (6, 0))
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))
        imported = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(imported, SYSTEM_DLLS)

    def test_checksum_is_right(self):
        # The build patches the image after the link. Windows checks this sum only for
        # drivers and boot-time images; inspection tools check it for any. The linker
        # writes one, so 0 ("none") would mean the patch lost it.
        self.assertEqual(self.pe.OPTIONAL_HEADER.CheckSum, self.pe.generate_checksum())

    def test_the_resource_patch_refuses_what_it_cannot_patch_safely(self):
        image = Path(os.environ["ZELTAVO_EXE"]).read_bytes()
        cases = [(truncated, "truncated: "),
                 (signed, "signed: changing a byte would break the signature"),
                 (short_directory_table, "4 data directories, too few"),
                 (no_resource_directory, "no resource directory")]
        with tempfile.TemporaryDirectory() as folder:
            for spoil, reason in cases:
                with self.subTest(spoil.__name__):
                    path = Path(folder, spoil.__name__ + ".exe")
                    path.write_bytes(spoil(bytearray(image)))
                    before = path.read_bytes()
                    result = subprocess.run([READONLY_RESOURCES, path], capture_output=True,
                                            text=True)
                    # One line that names the file and the reason, and the file as it was.
                    self.assertEqual(result.returncode, 1)
                    self.assertRegex(result.stderr, r"\Areadonly-resources: %s: %s[^\n]*\n\Z"
                                     % (re.escape(str(path)), re.escape(reason)))
                    self.assertEqual(path.read_bytes(), before)

    def test_no_timestamp(self):
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_DEBUG", []):
            self.assertEqual(entry.struct.TimeDateStamp, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
