"""The program end to end: its real binary under Xvfb, driven by xdotool,
printing on the virtual printer.

    window_e2e_test.py PROGRAM VIRTUAL_PRINTER
"""
import fcntl
import os
import sys
import tempfile
import time
import unittest

from x_session import (Program, ProgramTestCase, VirtualPrinter, Xvfb, in_private_dev,
                       port_is_free, require_tools)

PROGRAM, PRINTER = sys.argv[1], sys.argv[2]
# What the program opens. Each run has a mount namespace of its own, where
# this is the printer's pty, missing, or a plain file: never the machine's.
PORT_1 = "/dev/ttyS0"  # only ever a bind mount in the program's own namespace


class WindowTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        require_tools("unshare", "Xvfb", "xdotool", "import")
        cls.x = Xvfb()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory()
        self.printer = VirtualPrinter(PRINTER, self.workdir.name)
        self.addCleanup(self.workdir.cleanup)
        self.addCleanup(self.printer.stop)

    def start(self, port=None):
        program = Program(in_private_dev(port or self.printer.pty, [PROGRAM]), self.x,
                          self.workdir.name)
        self.addCleanup(program.kill)
        return program

    def test_window_size_and_button_place_also_after_a_resize(self):
        program = self.start()
        self.assertEqual(program.geometry(), (312, 213))
        self.x.screenshot(program.window, "form1.png")
        # Command1 covers x 40..200 and y 24..88: one pixel further is outside.
        outside = [(39, 56), (201, 56), (120, 23), (120, 89)]
        inside = [(40, 56), (200, 56), (120, 24), (120, 88)]
        for size in [None, (500, 400)]:
            if size:
                self.x.run("xdotool", "windowsize", "--sync", program.window, *map(str, size))
                self.assertEqual(program.geometry(), size)
            before = len(self.printer.received())
            for x, y in outside:
                program.click(x, y)
            time.sleep(self.QUIET)
            self.assertEqual(len(self.printer.received()), before, "a click outside printed")
            for x, y in inside:
                program.click(x, y)
                time.sleep(0.05)
        self.assert_receipts(8)
        self.close(program)

    def test_each_press_prints_one_whole_receipt_and_frees_the_port(self):
        program = self.start()
        self.check_presses(program, after_each=lambda: self.assertTrue(
            port_is_free(self.printer.pty), "the port is still held after a job"))
        program.key("KP_Enter")
        self.assert_receipts(6)
        self.close(program)

    def test_closing_the_window_sends_nothing_and_escape_does_not_close(self):
        program = self.start()
        program.key("Escape")
        time.sleep(self.QUIET)
        self.assertIsNone(program.process.poll(), "Escape closed the window")
        self.close(program)
        self.assertEqual(self.printer.received(), b"")

    def test_missing_port_is_reported_then_the_program_ends(self):
        self.check_failure("-", 2, PORT_1, screenshot="error-box.png")

    def test_port_held_by_another_program_is_reported_then_the_program_ends(self):
        holder = os.open(self.printer.pty, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.check_failure(self.printer.pty, 11, PORT_1)

    def test_plain_file_as_port_is_reported_and_left_alone(self):
        plain = os.path.join(self.workdir.name, "not-a-port")
        with open(plain, "wb") as f:
            f.write(b"keep")
        self.check_failure(plain, 25, PORT_1)
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), b"keep")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
