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

from x_session import (Program, ProgramTestCase, PtyPrinter, VirtualPrinter, Xvfb,
                       in_private_dev, line_of, port_is_free, require_tools, wait_until)

PROGRAM, PRINTER = sys.argv[1], sys.argv[2]
SAMPLE_TEXT = str(pathlib.Path(__file__).resolve().parents[1] / "data" / "sample_receipt.txt")
# What the program opens. Each run has a mount namespace of its own, where
# this is the printer's pty, missing, or a plain file: never the machine's.
PORT_1 = "/dev/ttyS0"  # only ever a bind mount in the program's own namespace
# One line of paper more than a picture holds (the tear line is one).
TALL = b"\n" * 29411
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

    def test_a_key_held_down_prints_one_receipt(self):
        program = self.start()
        self.check_held_keys(program)
        self.close(program)
        self.check_held_key_on_a_failure(self.start("-"))

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
        self.check_failure(self.printer.pty, 16, PORT_1)
        self.assertIn("Another program is using the port", self.last_stderr)
        # This test holds it.
        self.assertRegex(self.last_stderr, r"It is held by [^.]*\bpython3 \(pid %d\)" % os.getpid())

    def test_modem_manager_holding_the_port_is_named_with_the_step_that_frees_it(self):
        """ModemManager probes a new USB adapter: here a python3 of that name
        holds the pty that stands for /dev/ttyUSB0, exclusively and locked."""
        named = os.path.join(self.workdir.name, "ModemManager")
        os.symlink(sys.executable, named)
        holder = subprocess.Popen(
            [named, "-c", "import fcntl, os, sys, termios, time\n"
             "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
             "fcntl.ioctl(fd, termios.TIOCEXCL)\n"
             "fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
             "print('held', flush=True)\n"
             "time.sleep(60)\n", self.printer.pty], stdout=subprocess.PIPE)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        done = subprocess.run(in_private_dev("-", [PROGRAM, "--receipt", SAMPLE_TEXT, "--port",
                                                   "/dev/ttyUSB0"]), capture_output=True,
                              timeout=30, env=dict(os.environ, QJ570_USB_PORT=self.printer.pty))
        text = done.stderr.decode()
        self.assertEqual(done.returncode, 6, text)  # busy
        self.assertRegex(text, r"Another program is using the port: close that program, then "
                         r"try again\. It is held by [^.]*\bModemManager \(pid %d\)[^.]*\. "
                         r"ModemManager tries every serial port" % holder.pid)
        # The rule names the adapter by the ids its sysfs entry gives.
        self.assertIn('ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", '
                      'ENV{ID_MM_DEVICE_IGNORE}="1"', text)
        self.assertEqual(self.printer.received(), b"")

    def test_a_port_that_another_program_uses_gets_none_of_our_bytes(self):
        """What the port's own locks cannot stop: a program that took none
        (cat, as a login reads its port), a live UUCP lock file, the
        kernel's console. A stale lock file is no claim; the program's own
        is gone once it has printed."""
        locks = pathlib.Path(self.workdir.name) / "lock"
        locks.mkdir()
        env = dict(os.environ, QJ570_LOCK_DIR=str(locks))

        def print_on_port_1(**extra):
            return subprocess.run(in_private_dev(self.printer.pty, [PROGRAM, "--receipt",
                                                                    SAMPLE_TEXT]),
                                  capture_output=True, timeout=30, env=dict(env, **extra))

        cat = subprocess.Popen(["cat", self.printer.pty], stdout=subprocess.DEVNULL)
        self.addCleanup(cat.wait)
        self.addCleanup(cat.kill)
        self.assertTrue(wait_until(lambda: self.printer.pty in [
            os.path.realpath(f"/proc/{cat.pid}/fd/{fd}") for fd in os.listdir(f"/proc/{cat.pid}/fd")
        ], 5))
        done = print_on_port_1()
        self.assertEqual(done.returncode, 6, done.stderr)
        self.assertIn(b"Device or resource busy. Another program is using the port: close that "
                      b"program, then try again. It is held by cat (pid %d)." % cat.pid,
                      done.stderr)
        # Listed as in use, so the box offers it to nobody.
        listed = subprocess.run(in_private_dev("-", [PROGRAM, "--list-ports"]),
                                capture_output=True, timeout=30,
                                env=dict(env, QJ570_USB_PORT=self.printer.pty))
        self.assertIn(b"\n    in use by cat (pid %d)\n" % cat.pid, listed.stdout)
        cat.kill()
        cat.wait()

        lock = locks / "LCK..ttyS0"
        lock.write_text("%10d\n" % os.getpid())
        done = print_on_port_1()
        self.assertEqual(done.returncode, 6, done.stderr)
        self.assertIn(b"cannot lock serial port /dev/ttyS0: Device or resource busy. Another "
                      b"program is using the port: close that program, then try again. Its lock "
                      b"file /run/lock/LCK..ttyS0 says that python3 (pid %d) uses it." %
                      os.getpid(), done.stderr)
        self.assertEqual(lock.read_text(), "%10d\n" % os.getpid())

        lock.unlink()
        # The kernel's console, named ttyQJ0 here, is the printer's pty.
        done = print_on_port_1(QJ570_CONSOLE="ttyQJ0")
        self.assertEqual(done.returncode, 6, done.stderr)
        self.assertIn(b"cannot take serial port /dev/ttyS0: Device or resource busy. It is the "
                      b"system console: the kernel writes its messages there", done.stderr)
        self.assertIn(b"\nsudo systemctl disable --now serial-getty@ttyQJ0.service\n", done.stderr)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), b"")

        lock.write_text("%10d\n" % cat.pid)  # its process has ended
        done = print_on_port_1()
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assert_receipts(1)
        self.assertEqual(list(locks.iterdir()), [])

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
        # A desktop's list of languages (LANGUAGE) counts only beside a locale
        # other than C: so gettext promises, and glibc 2.41 keeps to it.
        for env in ({"LANG": "zh_TW.UTF-8"}, {"LANG": "zh_TW.UTF-8", "LANGUAGE": "zh_TW:en"},
                    {"LANG": "en_US.UTF-8", "LC_ALL": "zh_TW.UTF-8"}):
            done = self.run_program("--receipt", SAMPLE_TEXT, env=dict(os.environ, **env))
            self.assertEqual(done.returncode, 3, env)
            text = done.stderr.decode()
            # The number, the device and the system's own words, in Chinese.
            self.assertIn("執行階段錯誤 '2'：", text, env)
            self.assertIn("無法開啟序列埠 /dev/ttyS0：沒有此一檔案或目錄。", text, env)
            self.assertIn("沒有這個名稱的裝置。", text, env)
            self.assertNotIn("。.", text)
        done = self.run_program("--help", env=dict(os.environ, LANG="zh_TW.UTF-8"))
        self.assertIn("用法：qj570-rs232", done.stdout.decode())
        done = self.run_program("--line", "7E1", env=dict(os.environ, LANG="zh_TW.UTF-8"))
        self.assertEqual(done.returncode, 2)
        self.assertIn("qj570-rs232: --line 7E1：", done.stderr.decode())
        self.assertIn("請執行「qj570-rs232 --help」以取得更多資訊。", done.stderr.decode())
        empty = os.path.join(self.workdir.name, "空的.txt")
        open(empty, "wb").close()
        done = self.run_program("--receipt", empty, env=dict(os.environ, LANG="zh_TW.UTF-8"))
        self.assertIn("空的.txt：內容是空的；收據至少需要一行", done.stderr.decode())
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
        # The box named the port by its USB product string.
        self.assertIn("  /dev/ttyUSB0  FT232R USB UART (0403:6001, FTDI, serial QJ570VP)\n"
                      "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_QJ570VP-if00-port0",
                      program.stderr())
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

    def test_the_boxs_text_can_be_selected_and_copied(self):
        """Ctrl+C copies the whole message as the program wrote it, without
        the box's own line breaks; a triple click selects one of its lines.
        The Close button keeps the focus."""
        for lang, join in (("C.UTF-8", " "), ("zh_TW.UTF-8", "")):
            program, box = self.start_with_a_usb_port(lang=lang)
            program.key("ctrl+c", window=box)
            heading, description, ports = self.x.selection().split("\n\n")
            self.assertIn(f"qj570-rs232: {heading}{join}{description}\n{ports}\n",
                          program.stderr())
            self.x.run("xdotool", "mousemove", "--window", box, "80", "16",
                       "click", "--repeat", "3", "--delay", "80", "1")
            self.assertEqual(self.x.selection("PRIMARY"), heading)
            program.key("ctrl+c", window=box)
            self.assertEqual(self.x.selection(), heading)
            program.key("Return", window=box)
            self.assertEqual(program.wait(), 1, lang)

    def test_port_and_line_chosen_on_the_command_line(self):
        program = Program(in_private_dev("-", [PROGRAM, "--port", self.printer.pty, "--line",
                                               "57600,8N1,rtscts"]), self.x, self.workdir.name)
        self.addCleanup(program.kill)
        program.click(120, 56)
        self.assert_receipts(1)
        _, _, cflag, _, _, ospeed, _ = line_of(self.printer.pty)
        self.assertEqual((ospeed, cflag & termios.CRTSCTS), (termios.B57600, termios.CRTSCTS))
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
        self.assertEqual(done.returncode, 3)
        self.assertIn(b"Run-time error '2': cannot open serial port /dev/ttyS0", done.stderr)
        # A script can tell each failure from the others.
        plain = os.path.join(self.workdir.name, "not-a-port")
        open(plain, "wb").close()
        holder = os.open(self.printer.pty, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        try:
            for port, status, message in ((plain, 7, b"It is no serial port"),
                                          (self.printer.pty, 6, b"Another program is using")):
                done = self.run_program("--receipt", SAMPLE_TEXT, "--port", port)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
        finally:
            os.close(holder)

    def test_line_settings_for_one_run(self):
        port = "--port=" + self.printer.pty
        done = self.run_program(port, "--line", "19200,8n1,RTSCTS", "--receipt", SAMPLE_TEXT)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assert_receipts(1)
        iflag, _, cflag, _, ispeed, ospeed, _ = line_of(self.printer.pty)
        self.assertEqual((ispeed, ospeed), (termios.B19200, termios.B19200))
        self.assertEqual(cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB |
                                  termios.CRTSCTS), termios.CS8 | termios.CRTSCTS)
        done = self.run_program(port, "--line=115200,8N2,xonxoff", "--receipt", SAMPLE_TEXT)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assert_receipts(2)
        iflag, _, cflag, _, _, ospeed, _ = line_of(self.printer.pty)
        self.assertEqual(ospeed, termios.B115200)
        self.assertEqual(cflag & (termios.CSTOPB | termios.CRTSCTS), termios.CSTOPB)
        self.assertEqual(iflag & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF)
        # A pty has no parity: the refusal names the settings asked for.
        done = self.run_program(port, "--line", "38400,8E1", "--receipt", SAMPLE_TEXT)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"the driver did not take 38400 baud, 8 data bits, even parity, 1 stop "
                      b"bit, no flow control", done.stderr)
        self.assert_receipts(2)

    def test_bad_input_sends_nothing_and_says_what_is_wrong(self):
        bad = os.path.join(self.workdir.name, "bad.txt")
        with open(bad, "wb") as f:
            f.write("總計\n\n  113元\t\n".encode())
        empty = os.path.join(self.workdir.name, "empty.txt")
        open(empty, "wb").close()
        port = "--port=" + self.printer.pty
        receipt = "--receipt=" + SAMPLE_TEXT
        cases = [([port, "--receipt", bad], 10,
                  b"bad.txt: line 3, column 7: control character U+0009"),
                 ([port, "--receipt", empty], 10, b"empty.txt: empty: a receipt needs"),
                 ([port, "--receipt", "/nonexistent.txt"], 10,
                  b"cannot read /nonexistent.txt: No such file or directory"),
                 ([port, receipt, "--line", "19200,7E1"], 2,
                  b"7 data bits cannot carry the receipt, whose Big5 text needs all 8 bits"),
                 ([port, receipt, "--line", "14400"], 2, b"14400 baud is not a standard speed"),
                 ([port, receipt, "--line", "9600,8N1,dtrdsr"], 2, b"'dtrdsr' is neither"),
                 ([port, receipt, "--line", "9600", "--line", "9600"], 2,
                  b"--line is given twice"),
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
            if status == 2:  # the mistake and a hint, not the whole help
                self.assertRegex(done.stderr, rb"\Aqj570-rs232: [^\n]+\nTry 'qj570-rs232 --help' "
                                 rb"for more information\.\n\Z", args)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), b"")
        self.assertTrue(port_is_free(self.printer.pty))

    def test_a_printer_that_takes_no_data_ends_in_an_error_within_the_bound(self):
        big = os.path.join(self.workdir.name, "big.txt")
        with open(big, "w", encoding="ascii") as f:
            f.write(("A" * 1023 + "\n") * 64)  # 64 KiB, more than a pty holds
        master, slave = os.openpty()  # nobody reads the master
        self.addCleanup(os.close, master)
        port = os.ttyname(slave)
        os.close(slave)  # else this process holds the port
        locks = pathlib.Path(self.workdir.name) / "lock"
        locks.mkdir()
        lock = locks / ("LCK.." + port[len("/dev/"):].replace("/", "_"))
        started = time.monotonic()
        program = subprocess.Popen(in_private_dev("-", [PROGRAM, "--receipt", big, "--port", port]),
                                   stderr=subprocess.PIPE,
                                   env=dict(os.environ, QJ570_LOCK_DIR=str(locks)))
        self.addCleanup(program.kill)
        # While it waits: the program's lock file, with its pid.
        self.assertTrue(wait_until(lambda: lock.exists() and lock.read_text().strip(), 4))
        self.assertTrue(os.path.exists("/proc/" + lock.read_text().strip()))
        done = subprocess.CompletedProcess(program.args, program.wait(timeout=30),
                                           stderr=program.stderr.read())
        took = time.monotonic() - started
        self.assertFalse(lock.exists())
        self.assertEqual(done.returncode, 8)
        self.assertIn(b"the device has taken no data for 5 s. Is the printer switched on",
                      done.stderr)
        # 5 s from the last byte the pty took, once for the whole receipt.
        self.assertGreater(took, 5)
        self.assertLess(took, 5 + 2)
        queued = fcntl.ioctl(master, termios.FIONREAD, b"\0\0\0\0")
        time.sleep(self.QUIET)
        self.assertEqual(fcntl.ioctl(master, termios.FIONREAD, b"\0\0\0\0"), queued)

    def test_a_slow_printer_holding_the_line_gets_its_whole_receipt(self):
        """At 2 KB a second for 15 s a 40 KiB receipt, 3.6 s on the line,
        keeps the program waiting for 10 s; the pty holds the last 20 KiB."""
        receipt = os.path.join(self.workdir.name, "long.txt")
        with open(receipt, "w", encoding="ascii") as f:
            f.write("A" * 40 * 1024 + "\n")
        slow = PtyPrinter(slow_for=15, pace=2048)
        self.addCleanup(slow.stop)
        done = self.run_program("--receipt", receipt, "--line", "115200,8N1,rtscts", "--port",
                                slow.pty)
        self.assertEqual(done.returncode, 0, done.stderr)
        # The printer takes the rest once its slow 15 s are over.
        self.assertEqual(slow.wait_for(40 * 1024 + 100, timeout=slow.slow_for).count(b"A"), 40 * 1024)

    def test_preview_draws_the_receipt_with_no_display_and_no_serial_port(self):
        """The sample, and the sample written as text, give the same picture,
        in a /dev with no serial port and with no DISPLAY; the virtual
        printer's picture of the job is that picture too."""
        work = pathlib.Path(self.workdir.name)
        no_display = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        for args in (["--preview", work / "sample.png"],
                     ["--receipt", SAMPLE_TEXT, f"--preview={work / 'text.png'}"]):
            done = self.run_program(*map(str, args), env=no_display)
            self.assertEqual((done.returncode, done.stderr), (0, b""), args)
        picture = (work / "sample.png").read_bytes()
        self.assertEqual(picture[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual((work / "text.png").read_bytes(), picture)
        piped = self.run_program("--preview", "-", "--receipt", "-", env=no_display,
                                 stdin=pathlib.Path(SAMPLE_TEXT).read_bytes())
        self.assertEqual((piped.returncode, piped.stdout), (0, picture))

        (work / "pictures").mkdir()
        self.printer.stop()
        self.printer = VirtualPrinter(PRINTER, self.workdir.name, png_dir=work / "pictures")
        self.addCleanup(self.printer.stop)  # setUp stops only the printer it started
        done = self.run_program("--receipt", SAMPLE_TEXT, "--port", self.printer.pty)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(wait_until(lambda: (work / "pictures" / "receipt-1.png").exists(), 5))
        self.assertEqual((work / "pictures" / "receipt-1.png").read_bytes(), picture)
        self.assertIn("|\u240e總\u240e計          113元           |\n  [VB: closing command]\n"
                      "--8<-- form feed: receipt 1 ends ------\n", self.printer.shown.read_text())
        # A receipt too long for one picture is said so, and the printer goes on.
        done = self.run_program("--receipt", "-", "--port", self.printer.pty, stdin=TALL)
        self.assertEqual(done.returncode, 0, done.stderr)
        done = self.run_program("--receipt", SAMPLE_TEXT, "--port", self.printer.pty)
        self.assertTrue(wait_until(lambda: (work / "pictures" / "receipt-3.png").exists(), 5))
        self.assertEqual((work / "pictures" / "receipt-3.png").read_bytes(), picture)
        self.assertFalse((work / "pictures" / "receipt-2.png").exists())
        self.assertIn("\nqj570-virtual-printer: receipt 2 has no picture: too long for one "
                      "picture: it takes 29412 lines of paper, and a picture holds 29411 at "
                      "most\n", self.printer.errors.read_text())

    def test_a_preview_that_cannot_be_made_says_why_and_leaves_no_file(self):
        work = pathlib.Path(self.workdir.name)
        (work / "folder.png").mkdir()
        empty_config = work / "fonts.conf"
        empty_config.write_text("<?xml version='1.0'?><fontconfig></fontconfig>")
        before = sorted(work.iterdir())
        cases = [(["--preview", work / "folder.png"], {},
                  b"cannot write " + bytes(work / "folder.png") + b": Is a directory"),
                 (["--preview", "/nonexistent/r.png"], {},
                  b"cannot write /nonexistent/r.png: No such file or directory"),
                 (["--preview", work / "r.png"], {"FONTCONFIG_FILE": str(empty_config)},
                  b"no font for Traditional Chinese was found: install fonts-noto-cjk"),
                 (["--preview", work / "r.png", "--port", "/nonexistent/ttyS9"], {},
                  b"--preview opens no port"),
                 (["--preview", work / "r.png", "--receipt", "-"], {},
                  b"qj570-rs232: standard input: too long for one picture: it takes 29412 lines "
                  b"of paper, and a picture holds 29411 at most\n")]
        for args, env, message in cases:
            done = self.run_program(*map(str, args), env=dict(os.environ, **env), stdin=TALL)
            self.assertNotEqual(done.returncode, 0, args)
            self.assertIn(message, done.stderr, args)
        self.assertEqual(done.returncode, 10)  # as for a receipt that cannot be printed
        self.assertEqual(sorted(work.iterdir()), before)
        self.assertEqual(list((work / "folder.png").iterdir()), [])

    def test_help_version_and_the_ports_there_are(self):
        for args, text in [(["--help"], b"--line SETTINGS the line's speed"),
                           (["--help"], b"\n  8   the printer takes no data"), (["-h"], b"Usage: qj570-rs232"),
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
