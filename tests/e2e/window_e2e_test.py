"""The program end to end: its real binary under Xvfb, driven by xdotool,
printing on the virtual printer.

    window_e2e_test.py PROGRAM VIRTUAL_PRINTER
"""
import fcntl
import os
import pathlib
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from x_session import (Program, ProgramTestCase, VirtualPrinter, Xvfb, in_private_dev,
                       port_is_free, require_tools)

PROGRAM, PRINTER = sys.argv[1], sys.argv[2]
SAMPLE_TEXT = str(pathlib.Path(__file__).resolve().parents[1] / "data" / "sample_receipt.txt")
# What the program opens. Each run has a mount namespace of its own, where
# this is the printer's pty, missing, or a plain file: never the machine's.
PORT_1 = "/dev/ttyS0"  # only ever a bind mount in the program's own namespace
# English, unless a test asks for another language.
for name in ("LANGUAGE", "LC_ALL", "LC_MESSAGES"):
    os.environ.pop(name, None)
os.environ["LANG"] = "C.UTF-8"


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
        self.check_layout(1, "form1.png")

    def test_at_192_dpi_the_window_and_the_button_are_twice_the_size(self):
        self.x.set_resources("Xft.dpi:\t192\n")
        self.addCleanup(self.x.set_resources, "")
        self.check_layout(2, "form1-192dpi.png")

    def check_layout(self, scale, screenshot):
        """Form1 is 312x213 at 96 DPI; Command1 covers x 40..200 and y 24..88.
        At other DPIs both scale, and a resize leaves the button as it is."""
        program = self.start()
        self.assertEqual(program.geometry(), (312 * scale, 213 * scale))
        self.x.screenshot(program.window, screenshot)
        left, top, right, bottom = 40 * scale, 24 * scale, 201 * scale - 1, 89 * scale - 1
        middle_x, middle_y = (left + right) // 2, (top + bottom) // 2
        outside = [(left - 1, middle_y), (right + 1, middle_y), (middle_x, top - 1),
                   (middle_x, bottom + 1)]
        inside = [(left, middle_y), (right, middle_y), (middle_x, top), (middle_x, bottom)]
        for size in [None, (500 * scale, 400 * scale)]:
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
        self.assertIn("No such file or directory. There is no device of that name.",
                      self.last_stderr)
        # The private /dev has no serial port at all.
        self.assertIn("No serial port with hardware behind it was found", self.last_stderr)

    def test_port_held_by_another_program_is_reported_then_the_program_ends(self):
        holder = os.open(self.printer.pty, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.check_failure(self.printer.pty, 11, PORT_1)
        self.assertIn("Another program is using the port", self.last_stderr)

    def test_plain_file_as_port_is_reported_and_left_alone(self):
        plain = os.path.join(self.workdir.name, "not-a-port")
        with open(plain, "wb") as f:
            f.write(b"keep")
        self.check_failure(plain, 25, PORT_1)
        self.assertIn("It is no serial port", self.last_stderr)
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), b"keep")

    def run_program(self, *args, stdin=None, env=None):
        """The program with arguments that open no window, in a /dev with
        no serial port but the printer's pty under /dev/pts."""
        return subprocess.run(in_private_dev("-", [PROGRAM, *args]), capture_output=True,
                              input=stdin, timeout=30, env=env)

    def test_a_user_in_taiwan_reads_traditional_chinese(self):
        for env in ({"LANG": "zh_TW.UTF-8"}, {"LANG": "C.UTF-8", "LANGUAGE": "zh_TW"},
                    {"LANG": "en_US.UTF-8", "LC_ALL": "zh_TW.UTF-8"}):
            done = self.run_program("--receipt", SAMPLE_TEXT, env=dict(os.environ, **env))
            self.assertEqual(done.returncode, 1, env)
            text = done.stderr.decode()
            # The number, the device and the system's own words, in Chinese.
            self.assertIn("執行階段錯誤 '2'：", text, env)
            self.assertIn("無法開啟序列埠 /dev/ttyS0：沒有此一檔案或目錄。", text, env)
            self.assertIn("沒有這個名稱的裝置。", text, env)
            self.assertNotIn("。.", text)
        done = self.run_program("--help", env=dict(os.environ, LANG="zh_TW.UTF-8"))
        self.assertIn("用法：qj570-rs232", done.stdout.decode())
        empty = os.path.join(self.workdir.name, "空的.txt")
        open(empty, "wb").close()
        done = self.run_program("--receipt", empty, env=dict(os.environ, LANG="zh_TW.UTF-8"))
        self.assertIn("空的.txt：內容是空的：收據至少需要一行", done.stderr.decode())
        # Under C the words are English, as they always were.
        done = self.run_program("--receipt", SAMPLE_TEXT, env=dict(os.environ, LANG="C"))
        self.assertIn(b"Run-time error '2': cannot open serial port /dev/ttyS0: No such file or "
                      b"directory. There is no device of that name.", done.stderr)

    def start_with_a_usb_port(self, *args, lang="C.UTF-8"):
        """Serial port 1 missing, and the printer's pty where the finder
        looks for a USB adapter."""
        program = Program(in_private_dev("-", [PROGRAM, *args]), self.x, self.workdir.name,
                          extra_env={"QJ570_USB_PORT": self.printer.pty, "LANG": lang})
        self.addCleanup(program.kill)
        program.click(120, 56)
        box = program.new_window()
        self.assertIsNotNone(box, "no message box: " + program.stderr())
        return program, box

    def test_the_box_offers_the_port_there_is_and_prints_there(self):
        program, box = self.start_with_a_usb_port()
        self.x.screenshot(box, "error-box-choice.png")
        program.key("Tab", window=box)  # from the default button to the first choice
        program.key("space", window=box)
        self.assert_receipts(1)
        self.assertIsNone(program.process.poll(), "the window should stay")
        self.assertIn("printing on /dev/ttyUSB0", program.stderr())
        program.click(120, 56)  # later presses print there too
        self.assert_receipts(2)
        self.close(program)

    def test_enter_or_escape_on_the_offer_ends_the_program_sending_nothing(self):
        for key, lang in (("Return", "C.UTF-8"), ("Escape", "zh_TW.UTF-8")):
            program, box = self.start_with_a_usb_port(lang=lang)
            if lang != "C.UTF-8":
                self.x.screenshot(box, "error-box-choice-zh_TW.png")
            program.key(key, window=box)
            self.assertEqual(program.wait(), 1, key)
        # Whoever named the port gets no choice: Tab and Space press Close.
        # Its Chinese name shows in either language.
        for lang, picture in (("C.UTF-8", "error-box-chinese-path.png"),
                              ("zh_TW.UTF-8", "error-box-zh_TW.png")):
            program, box = self.start_with_a_usb_port("--port", "/nonexistent/印表機", lang=lang)
            self.x.screenshot(box, picture)
            program.key("Tab", window=box)
            program.key("space", window=box)
            self.assertEqual(program.wait(), 1, lang)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), b"")

    def test_port_chosen_on_the_command_line(self):
        program = Program(in_private_dev("-", [PROGRAM, "--port", self.printer.pty]), self.x,
                          self.workdir.name)
        self.addCleanup(program.kill)
        program.click(120, 56)
        self.assert_receipts(1)
        self.close(program)

    def test_receipt_from_a_file_or_standard_input_without_a_window(self):
        done = self.run_program("--receipt", SAMPLE_TEXT, "--port", self.printer.pty)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assert_receipts(1)
        with open(SAMPLE_TEXT, "rb") as f:
            done = self.run_program("--port=" + self.printer.pty, "--receipt", "-",
                                    stdin=f.read())
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assert_receipts(2)
        # On serial port 1, which is missing here: the error, with its number.
        done = self.run_program("--receipt", SAMPLE_TEXT)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"Run-time error '2': cannot open serial port /dev/ttyS0", done.stderr)

    def test_bad_input_sends_nothing_and_says_what_is_wrong(self):
        bad = os.path.join(self.workdir.name, "bad.txt")
        with open(bad, "wb") as f:
            f.write("總計\n\n  113元\t\n".encode())
        empty = os.path.join(self.workdir.name, "empty.txt")
        open(empty, "wb").close()
        port = "--port=" + self.printer.pty
        cases = [([port, "--receipt", bad], 1,
                  b"bad.txt: line 3, column 7: control character U+0009"),
                 ([port, "--receipt", empty], 1, b"empty.txt: empty: a receipt needs"),
                 ([port, "--receipt", "/nonexistent.txt"], 1,
                  b"cannot read /nonexistent.txt: No such file or directory"),
                 (["--bogus"], 2, b"unknown argument '--bogus'"),
                 (["--port"], 2, b"--port needs a value"),
                 (["--port", ""], 2, b"'' is not a port"),
                 ([port, port], 2, b"--port is given twice"),
                 ([port, "--receipt", bad, "--receipt", bad], 2, b"--receipt is given twice"),
                 (["--help", port], 2, b"--help takes no other argument")]
        for args, status, message in cases:
            done = self.run_program(*args)
            self.assertEqual(done.returncode, status, args)
            self.assertIn(message, done.stderr, args)
            if status == 2:
                self.assertIn(b"Usage: qj570-rs232", done.stderr)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), b"")
        self.assertTrue(port_is_free(self.printer.pty))

    def test_a_printer_that_takes_no_data_ends_in_an_error_within_the_bound(self):
        big = os.path.join(self.workdir.name, "big.txt")
        with open(big, "w", encoding="ascii") as f:
            f.write(("A" * 1023 + "\n") * 64)  # 64 KiB, more than a pty holds
        master, slave = os.openpty()  # nobody reads the master
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        started = time.monotonic()
        done = self.run_program("--receipt", big, "--port", os.ttyname(slave))
        took = time.monotonic() - started
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr, rb"the device has taken no data for [56] s\. Is the "
                         rb"printer switched on")
        # Each write waits at most its line's time at 9600 baud (1.1 s) and
        # the 5 s margin. A loaded machine may still move a little data out
        # of the pty's buffers after the first wait, which starts the next
        # write's wait: never more than twice.
        self.assertLess(took, 2 * (1.1 + 5) + 2)
        queued = fcntl.ioctl(master, termios.FIONREAD, b"\0\0\0\0")
        time.sleep(self.QUIET)
        self.assertEqual(fcntl.ioctl(master, termios.FIONREAD, b"\0\0\0\0"), queued)

    def test_help_version_and_the_ports_there_are(self):
        for args, text in [(["--help"], b"--port PORT"), (["-h"], b"Usage: qj570-rs232"),
                           (["--version"], b"qj570-rs232 1.0.0\n"),
                           (["--list-ports"], b"No serial port with hardware behind it")]:
            done = self.run_program(*args)
            self.assertEqual(done.returncode, 0, args)
            self.assertIn(text, done.stdout, args)
        # With no display: whose message it is, and what to do instead.
        done = subprocess.run(in_private_dev("-", [PROGRAM]), capture_output=True, timeout=30,
                              env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"qj570-rs232: Can't open display", done.stderr)
        self.assertIn(b"qj570-rs232 --receipt FILE", done.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
