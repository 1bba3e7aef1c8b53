"""Checks of the Windows program as built, with no Wine: the machine, the
GUI subsystem, the hardening bits, imports from Windows' own DLLs only, the
manifest, the icon group of three images, and the version resource in
Traditional Chinese (0x0404).

    pe_check.py PROGRAM.exe i386|x86-64
"""
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

PROGRAM, MACHINE = sys.argv[1], sys.argv[2]
MACHINES = {"i386": 0x014C, "x86-64": 0x8664}
GUI = 2
# The program is static: nothing beyond what every Windows has (ole32 for
# WIC, the picture's PNG encoder).
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
                "msvcrt.dll", "setupapi.dll", "ole32.dll"}
TAIWAN = 1028  # 0x0404
# DllCharacteristics: ASLR, DEP and no INI-file redirection on a terminal
# server; 64-bit ASLR on x64 too.
DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE, HIGH_ENTROPY_VA = 0x40, 0x100, 0x8000, 0x20
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}  # 10 and 11


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
        flags = struct.unpack_from("<H", image, optional + 70)[0]
        want = DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE
        want |= HIGH_ENTROPY_VA if MACHINE == "x86-64" else 0
        self.assertEqual(flags & want, want, hex(flags))

    def test_manifest_themed_dpi_aware_windows_7_to_11_as_invoker(self):
        manifests = [r for r in resources() if r[0] == 24]
        self.assertEqual([r[1] for r in manifests], [1])  # what CreateProcess reads
        root = ElementTree.fromstring(resource(24, 1, manifests[0][2]))
        found = {e.tag.split("}")[1]: e for e in root.iter()}
        controls = [e.attrib for e in root.iter() if e.tag.endswith("assemblyIdentity")
                    and e.get("name") == "Microsoft.Windows.Common-Controls"]
        self.assertEqual([c["version"] for c in controls], ["6.0.0.0"])
        self.assertIn("PerMonitorV2", found["dpiAwareness"].text)
        self.assertEqual(found["dpiAware"].text, "true/pm")
        self.assertEqual({e.get("Id") for e in root.iter() if e.tag.endswith("supportedOS")},
                         SUPPORTED_OS)
        self.assertEqual(found["requestedExecutionLevel"].get("level"), "asInvoker")

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
        # Prose in Chinese in the Chinese block, in English in the English one.
        chinese, english = version.split("040904B0")
        self.assertIn("QJ-570 RS232 收據印表機測試", chinese)
        self.assertIn("QJ-570 RS232 receipt printer test", english)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
