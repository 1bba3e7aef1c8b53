"""Checks of the Windows program as built, with no Wine: the machine, the
GUI subsystem, imports from Windows' own DLLs only, the icon group of
three images, and the version resource in Traditional Chinese (0x0404).

    pe_check.py PROGRAM.exe i386|x86-64
"""
import re
import struct
import subprocess
import sys
import tempfile
import unittest

PROGRAM, MACHINE = sys.argv[1], sys.argv[2]
MACHINES = {"i386": 0x014C, "x86-64": 0x8664}
GUI = 2
# The program is static: nothing beyond what every Windows has.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
                "msvcrt.dll"}
TAIWAN = 1028  # 0x0404


def resources():
    """(type, name, language) of every resource, as wrestool lists them."""
    out = subprocess.run(["wrestool", "-l", PROGRAM], check=True, capture_output=True,
                         text=True).stdout
    return {tuple(int(v) for v in m.groups()) for m in re.finditer(
        r"--type=(\d+) --name=(\d+) --language=(\d+)", out)}


def resource(kind, name, language):
    return subprocess.run(["wrestool", "-x", "--raw", f"--type={kind}", f"--name={name}",
                           f"--language={language}", PROGRAM], check=True,
                          capture_output=True).stdout


class WindowsProgram(unittest.TestCase):
    def test_machine_and_gui_subsystem(self):
        with open(PROGRAM, "rb") as f:
            image = f.read(4096)
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        self.assertEqual(image[pe:pe + 4], b"PE\0\0")
        self.assertEqual(struct.unpack_from("<H", image, pe + 4)[0], MACHINES[MACHINE])
        optional = pe + 24
        self.assertEqual(struct.unpack_from("<H", image, optional + 68)[0], GUI)

    def test_imports_only_windows_own_dlls(self):
        out = subprocess.run(["objdump", "-p", PROGRAM], check=True, capture_output=True,
                             text=True).stdout
        dlls = {m.lower() for m in re.findall(r"DLL Name: (\S+)", out)}
        self.assertIn("kernel32.dll", dlls)
        self.assertLessEqual(dlls, WINDOWS_DLLS)

    def test_icon_group_of_three_images_in_traditional_chinese(self):
        found = resources()
        groups = [r for r in found if r[0] == 14]
        self.assertEqual([r[2] for r in groups], [TAIWAN])
        directory = resource(14, groups[0][1], TAIWAN)
        reserved, kind, count = struct.unpack_from("<HHH", directory)
        self.assertEqual((reserved, kind, count), (0, 1, 3))
        sizes = set()
        for i in range(count):
            width, height, colours, _, _, bits, _, icon_id = struct.unpack_from(
                "<BBBBHHIH", directory, 6 + 14 * i)
            self.assertIn((3, icon_id, TAIWAN), found)
            sizes.add((width, height, colours or 1 << bits))
        self.assertEqual(sizes, {(32, 32, 2), (32, 32, 16), (16, 16, 16)})

    def test_version_strings_in_traditional_chinese_then_english(self):
        self.assertIn((16, 1, TAIWAN), resources())
        version = resource(16, 1, TAIWAN).decode("utf-16-le", errors="replace")
        for text in ("040404B0", "040904B0", "FileDescription", "QJ-570 RS232",
                     "qj570-rs232.exe"):
            self.assertIn(text, version)
        self.assertLess(version.index("040404B0"), version.index("040904B0"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
