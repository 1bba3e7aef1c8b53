"""The Windows program end to end under Wine and Xvfb, printing on a pty
that Wine knows as COM1.

    wine_e2e_test.py PROGRAM.exe WINEPREFIX

Wine links its COM ports to whatever /dev/ttyS* it finds, each time its
server starts. So this whole test, Xvfb, wineserver and every Wine process
included, runs in a mount namespace of its own whose /dev holds no ttyS*:
started outside one, it starts itself again inside one.
"""
import glob
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from x_session import (Program, ProgramTestCase, PtyPrinter, Xvfb, in_private_dev,
                       require_tools)

PROGRAM, PREFIX = sys.argv[1], pathlib.Path(sys.argv[2])
INSIDE = "QJ570_IN_PRIVATE_DEV"


def serial_ports_visible():
    return [p for p in glob.glob("/dev/tty*") if p[len("/dev/tty"):][:1] in ("S", "U", "A")]


class WineTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        require_tools("wine", "wineserver", "Xvfb", "xdotool", "import")
        if os.environ.get(INSIDE) != "1" or serial_ports_visible():
            raise AssertionError("refusing to run Wine where serial ports are visible")
        cls.started = time.monotonic()
        cls.x = Xvfb()
        shutil.rmtree(PREFIX, ignore_errors=True)
        cls.env = dict(cls.x.env, WINEPREFIX=str(PREFIX), WINEARCH="win32", WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        cls.wine("wineboot", "--init")
        cls.wine("wineserver", "-w")

    @classmethod
    def tearDownClass(cls):
        cls.wine("wineserver", "-k", check=False)  # this prefix's server only
        cls.x.stop()
        print(f"\nWine tests took {time.monotonic() - cls.started:.1f} s", file=sys.stderr)

    @classmethod
    def wine(cls, *argv, check=True):
        return subprocess.run(argv, env=cls.env, check=check, capture_output=True, timeout=180)

    def map_com1(self, pty):
        """COM1 is the pty (None: no COM1). Wine's mount manager makes its
        links when the server starts, so the server starts again."""
        key = r"HKLM\Software\Wine\Ports"
        if pty:
            self.wine("wine", "reg", "add", key, "/v", "COM1", "/d", pty, "/f")
        else:
            self.wine("wine", "reg", "delete", key, "/v", "COM1", "/f", check=False)
        self.wine("wineserver", "-k", check=False)
        self.wine("wineserver", "-w")
        for link in (PREFIX / "dosdevices").glob("com*"):  # the manager keeps old ones
            link.unlink()
        self.wine("wine", "cmd", "/c", "exit")  # the server and its mount manager are up
        links = {p.name: os.readlink(p) for p in (PREFIX / "dosdevices").glob("com*")}
        self.assertFalse([t for t in links.values() if t.startswith("/dev/ttyS")], links)
        self.assertEqual(links.get("com1"), pty)

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory()
        self.printer = PtyPrinter()
        self.addCleanup(self.workdir.cleanup)
        self.addCleanup(self.printer.stop)

    def start(self, port=None):
        program = Program(["wine", PROGRAM], self.x, self.workdir.name, extra_env=self.env)
        self.addCleanup(program.kill)
        return program

    def test_missing_com1_is_reported_then_the_program_ends(self):
        self.map_com1(None)
        self.check_failure(None, 2, "COM1", screenshot="error-box-win32.png")

    def test_each_press_prints_one_whole_receipt_and_closing_ends_it(self):
        self.map_com1(self.printer.pty)
        program = self.start()
        self.assertEqual(program.geometry(), (312, 213))
        self.x.screenshot(program.window, "form1-win32.png")
        self.check_presses(program)
        self.close(program)
        self.assertEqual(len(self.printer.received()), 5 * len(self.RECEIPT))


if __name__ == "__main__":
    if os.environ.get(INSIDE) != "1" and os.geteuid() == 0 and shutil.which("unshare"):
        os.environ[INSIDE] = "1"
        argv = in_private_dev("-", [sys.executable, os.path.abspath(__file__), *sys.argv[1:]])
        os.execvp(argv[0], argv)
    unittest.main(argv=sys.argv[:1], verbosity=2)
