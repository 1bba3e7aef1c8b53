"""The Windows program end to end under Wine and Xvfb, printing on a pty
that Wine knows as COM1.

    wine_e2e_test.py PROGRAM.exe WINEPREFIX win32|win64

win32 runs the 32-bit program with Debian's wine script; win64 runs the
64-bit one with the 64-bit loader named outright, since the script picks
the 32-bit loader whenever wine32 is installed, whatever WINEARCH says.

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
import termios
import time
import unittest

from x_session import (Program, ProgramTestCase, PtyPrinter, Xvfb, in_private_dev,
                       require_tools)

SAMPLE_TEXT = pathlib.Path(__file__).resolve().parents[1] / "data" / "sample_receipt.txt"
# The Linux program's picture of the sample (scripts/screenshots.sh makes it).
LINUX_PICTURE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "receipt.png"
# The paper's grid: margin, line pitch, cell width and height, columns.
MARGIN, PITCH, CELL_WIDTH, CELL_HEIGHT, COLUMNS = 12, 34, 12, 24, 32
PROGRAM, PREFIX, ARCH = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
LOADER = "/usr/lib/wine/wine64" if ARCH == "win64" else "wine"
INSIDE = "QJ570_IN_PRIVATE_DEV"


def ink_by_cell(png):
    """The picture's size, and a line of text per line of paper: for each
    column, "#" where its cell has ink, "^" where the blank above it has
    (an SO mark), "%" for both, "." for neither."""
    size = subprocess.run(["identify", "-format", "%w %h", png], check=True, capture_output=True)
    width, height = map(int, size.stdout.split())
    grey = subprocess.run(["convert", png, "-depth", "8", "gray:-"], check=True,
                          capture_output=True).stdout

    def inked(top, bottom, column):
        left = MARGIN + column * CELL_WIDTH
        return any(b != 255 for y in range(top, bottom)
                   for b in grey[y * width + left:y * width + left + CELL_WIDTH])

    lines = []
    for top in range(MARGIN, height, PITCH):
        lines.append("".join(".^#%"[inked(top - PITCH + CELL_HEIGHT, top, c) +
                                    2 * inked(top, top + CELL_HEIGHT, c)]
                             for c in range(COLUMNS)))
    return (width, height), lines


def serial_ports_visible():
    return [p for p in glob.glob("/dev/tty*") if p[len("/dev/tty"):][:1] in ("S", "U", "A")]


class WineTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        require_tools(LOADER, "wineserver", "Xvfb", "xdotool", "import")
        if os.environ.get(INSIDE) != "1" or serial_ports_visible():
            raise AssertionError("refusing to run Wine where serial ports are visible")
        cls.started = time.monotonic()
        cls.x = Xvfb()
        shutil.rmtree(PREFIX, ignore_errors=True)
        cls.env = dict(cls.x.env, WINEPREFIX=str(PREFIX), WINEARCH=ARCH, WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        if ARCH == "win64":
            cls.env["WINELOADER"] = LOADER
        cls.wine(LOADER, "wineboot", "--init")
        cls.wine("wineserver", "-w")

    @classmethod
    def tearDownClass(cls):
        cls.wine("wineserver", "-k", check=False)  # this prefix's server only
        cls.x.stop()
        print(f"\nWine tests ({ARCH}) took {time.monotonic() - cls.started:.1f} s", file=sys.stderr)

    @classmethod
    def wine(cls, *argv, check=True):
        return subprocess.run(argv, env=cls.env, check=check, capture_output=True, timeout=180)

    def map_ports(self, ports):
        """Wine's COM ports are these ptys ({"COM1": pty}; {} for none).
        Wine's mount manager makes its links when the server starts, so the
        server starts again."""
        key = r"HKLM\Software\Wine\Ports"
        self.wine(LOADER, "reg", "delete", key, "/f", check=False)
        for name, pty in ports.items():
            self.wine(LOADER, "reg", "add", key, "/v", name, "/d", pty, "/f")
        self.wine("wineserver", "-k", check=False)
        self.wine("wineserver", "-w")
        for link in (PREFIX / "dosdevices").glob("com*"):  # the manager keeps old ones
            link.unlink()
        self.wine(LOADER, "cmd", "/c", "exit")  # the server and its mount manager are up
        links = {p.name: os.readlink(p) for p in (PREFIX / "dosdevices").glob("com*")}
        self.assertFalse([t for t in links.values() if t.startswith("/dev/ttyS")], links)
        self.assertEqual(links, {name.lower(): pty for name, pty in ports.items()})

    def run_program(self, *args, stdin=None, env=None):
        """The program with arguments that open no window."""
        return subprocess.run([LOADER, PROGRAM, *args], env=dict(self.env, **(env or {})),
                              capture_output=True, input=stdin, timeout=60)

    def test_a_user_in_taiwan_reads_traditional_chinese(self):
        # Wine takes the user's UI language from the locale: 0x0404 here.
        self.map_ports({})
        receipt = "Z:" + str(SAMPLE_TEXT).replace("/", "\\")
        done = self.run_program("--receipt", receipt, env={"LANG": "zh_TW.UTF-8"})
        self.assertEqual(done.returncode, 3)  # the port is missing, as on Linux
        text = done.stderr.decode()
        self.assertIn("執行階段錯誤 '2'：無法開啟序列埠 COM1：", text)
        self.assertIn("裝置管理員", text)
        for doubled in ("。.", "。。", ".."):
            self.assertNotIn(doubled, text)
        done = self.run_program("--receipt", receipt, env={"LANG": "en_US.UTF-8"})
        self.assertIn(b"Run-time error '2': cannot open serial port COM1: ", done.stderr)

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory()
        self.printer = PtyPrinter()
        self.addCleanup(self.workdir.cleanup)
        self.addCleanup(self.printer.stop)

    def start(self, port=None, args=()):
        program = Program([LOADER, PROGRAM, *args], self.x, self.workdir.name,
                          extra_env=self.env)
        self.addCleanup(program.kill)
        return program

    def test_missing_com1_is_reported_then_the_program_ends(self):
        self.map_ports({})
        self.check_failure(None, 2, "COM1", screenshot="error-box-win32.png",
                           before_dismissing=self.check_copy_link)
        self.assertIn("There is no device of that name", self.last_stderr)

    def check_copy_link(self, program, box):
        """The box's text cannot be selected: a button copies it all."""
        program.key("shift+Tab", window=box)  # from Close to the copy button
        program.key("space", window=box)
        copied = self.x.selection()
        self.assertIsNotNone(copied, "the button copied nothing")
        self.assertIn("There is no device of that name", copied)
        time.sleep(2)  # Wine may take a second to take a closed box off the screen
        self.assertIn(box, self.x.windows(program.name), "the button closed the box")
        program.key("Tab", window=box)  # back to Close, which Return takes

    def test_each_press_prints_one_whole_receipt_and_closing_ends_it(self):
        self.map_ports({"COM1": self.printer.pty})
        program = self.start()
        self.assertEqual(program.geometry(), (312, 213))
        self.x.screenshot(program.window, "form1-win32.png")
        self.check_presses(program)
        self.close(program)
        self.assertEqual(len(self.printer.received()), 5 * len(self.RECEIPT))

    def test_at_192_dpi_the_window_and_the_button_are_twice_the_size(self):
        # Wine's display scale, as its configuration sets it; read when a
        # program starts.
        self.map_ports({"COM1": self.printer.pty})
        key, value = r"HKCU\Control Panel\Desktop", "LogPixels"
        self.wine(LOADER, "reg", "add", key, "/v", value, "/t", "REG_DWORD", "/d", "192", "/f")
        self.addCleanup(self.wine, "wineserver", "-w")
        self.addCleanup(self.wine, "wineserver", "-k", check=False)
        self.addCleanup(self.wine, LOADER, "reg", "add", key, "/v", value, "/t", "REG_DWORD",
                        "/d", "96", "/f")
        program = self.start()
        self.assertEqual(program.geometry(), (624, 426))
        self.x.screenshot(program.window, "form1-win32-192dpi.png")
        # Command1 covers x 80..401 and y 48..177.
        program.click(79, 112)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), b"")
        program.click(401, 177)
        self.assert_receipts(1)
        self.close(program)

    def test_the_box_offers_the_port_there_is_and_prints_there(self):
        self.map_ports({"COM3": self.printer.pty})  # COM1 is missing
        program = self.start()
        program.click(120, 56)
        box = program.new_window()
        self.assertIsNotNone(box, "no message box: " + program.stderr())
        self.x.screenshot(box, "error-box-choice-win32.png")
        # Its text cannot be selected, but Ctrl+C copies it all, as the
        # program wrote it, with Windows' line ends.
        program.key("ctrl+c", window=box)
        copied = self.x.selection()
        self.assertIsNotNone(copied, "Ctrl+C copied nothing")
        heading, description, ports = copied.replace("\r\n", "\n").split("\n\n")
        self.assertIn(f"qj570-rs232: {heading} {description}\n{ports}", program.stderr())
        self.assertIn("make a shortcut that starts:\nqj570-rs232 --port COM3", description)
        # From Close back past the copy button to the choice.
        program.key("shift+Tab", window=box)
        program.key("shift+Tab", window=box)
        program.key("space", window=box)
        self.assert_receipts(1)
        self.assertIsNone(program.process.poll(), "the window should stay")
        program.click(120, 56)
        self.assert_receipts(2)
        self.close(program)

    def test_port_chosen_on_the_command_line_and_a_receipt_from_a_file(self):
        self.map_ports({"COM3": self.printer.pty, "COM12": self.printer.pty})
        # COM3 is also a USB adapter's port as its driver files it with
        # SetupAPI, in the Ports class; COM12 only SERIALCOMM knows.
        device = r"HKLM\System\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+A10K1X2BA\0000"
        self.addCleanup(self.wine, LOADER, "reg", "delete", device.rsplit("\\", 1)[0], "/f",
                        check=False)
        for name, value in [("ClassGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}"),
                            ("FriendlyName", "USB Serial Port (COM3)"), ("Mfg", "FTDI"),
                            ("HardwareID", r"FTDIBUS\COMPORT&VID_0403&PID_6001")]:
            self.wine(LOADER, "reg", "add", device, "/v", name, "/d", value, "/f")
        self.wine(LOADER, "reg", "add", device + r"\Device Parameters", "/v", "PortName", "/d",
                  "COM3", "/f")
        listed = self.run_program("--list-ports")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        # Named by SetupAPI, without the "(COM3)" its friendly name repeats;
        # each port once, by number.
        self.assertEqual(listed.stdout, b"Serial ports on this computer:\n"
                         b"  COM3  USB Serial Port (0403:6001, FTDI)\n  COM12\n")
        program = self.start(args=["--port", "com3"])
        program.click(120, 56)
        self.assert_receipts(1)
        self.close(program)
        # COM10 and above are reached as \\.\COMn; either spelling works.
        receipt = pathlib.Path(self.workdir.name) / "receipt.txt"
        receipt.write_bytes(SAMPLE_TEXT.read_bytes())
        done = self.run_program("--port", "\\\\.\\COM12", "--receipt",
                                "Z:" + str(receipt).replace("/", "\\"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assert_receipts(2)
        done = self.run_program("--port", "COM12", "--receipt", "-",
                                stdin=SAMPLE_TEXT.read_bytes())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assert_receipts(3)

    def test_a_key_held_down_prints_one_receipt(self):
        self.map_ports({"COM1": self.printer.pty})
        program = self.start()
        self.check_held_keys(program)
        self.close(program)
        self.map_ports({})
        self.check_held_key_on_a_failure(self.start())

    def test_a_printer_that_takes_no_data_ends_in_an_error_within_the_bound(self):
        master, slave = os.openpty()  # nobody reads the master
        self.addCleanup(os.close, master)
        self.map_ports({"COM5": os.ttyname(slave)})
        os.close(slave)
        big = pathlib.Path(self.workdir.name) / "big.txt"
        big.write_text(("A" * 1023 + "\n") * 64, encoding="ascii")  # more than a pty holds
        started = time.monotonic()
        done = self.run_program("--port", "COM5", "--receipt", "Z:" + str(big).replace("/", "\\"))
        took = time.monotonic() - started
        self.assertEqual(done.returncode, 8)
        self.assertIn(b"the device has taken no data for 5 s. Is the printer switched on",
                      done.stderr)
        # 5 s from the last piece the pty took, once for the whole receipt.
        self.assertLess(took, 5 + 4)

    def test_a_slow_printer_holding_the_line_gets_its_whole_receipt(self):
        """At 2 KB a second a 40 KiB line, 3.6 s on the line, takes 20 s."""
        slow = PtyPrinter(slow_for=15, pace=2048)
        self.addCleanup(slow.stop)
        self.map_ports({"COM5": slow.pty})
        receipt = pathlib.Path(self.workdir.name) / "long.txt"
        receipt.write_text("A" * 40 * 1024 + "\n", encoding="ascii")
        done = self.run_program("--port", "COM5", "--line", "115200,8N1,rtscts", "--receipt",
                                "Z:" + str(receipt).replace("/", "\\"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(slow.wait_for(40 * 1024 + 100).count(b"A"), 40 * 1024)

    def test_without_a_window_it_says_so_and_ends(self):
        self.map_ports({})
        env = {k: v for k, v in self.env.items() if k != "DISPLAY"}
        done = subprocess.run([LOADER, PROGRAM], env=env, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"cannot make the program's window", done.stderr)

    def test_line_settings_for_one_run(self):
        self.map_ports({"COM1": self.printer.pty})
        done = self.run_program("--line", "19200,8N1,RTSCTS", "--receipt", "-",
                                stdin=SAMPLE_TEXT.read_bytes())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assert_receipts(1)
        _, _, cflag, _, _, _, _ = self.printer.line()
        self.assertEqual(self.printer.rate(), 19200)
        self.assertEqual(cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB |
                                  termios.CRTSCTS), termios.CS8 | termios.CRTSCTS)
        done = self.run_program("--line=57600,8n2,xonxoff", "--receipt", "-",
                                stdin=SAMPLE_TEXT.read_bytes())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assert_receipts(2)
        iflag, _, cflag, _, _, _, _ = self.printer.line()
        self.assertEqual((self.printer.rate(), cflag & (termios.CSTOPB | termios.CRTSCTS)),
                         (57600, termios.CSTOPB))
        self.assertEqual(iflag & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF)

    def test_preview_draws_the_linux_programs_grid_with_windows_own_font_and_png(self):
        # MingLiU, the first font the program asks GDI for, is Noto Serif CJK
        # TC here, a Ming typeface too: Wine's replacements give a font a
        # family name of another.
        self.wine(LOADER, "reg", "add", r"HKCU\Software\Wine\Fonts\Replacements", "/v",
                  "MingLiU", "/d", "Noto Serif CJK TC", "/f")
        png = pathlib.Path(self.workdir.name) / "receipt.png"
        done = self.run_program("--preview", "Z:" + str(png).replace("/", "\\"))
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        shutil.copy(png, pathlib.Path(os.environ.get("QJ570_SCREENSHOTS", self.workdir.name)) /
                    "receipt-win32.png")
        # The same grid and the same ink in the same cells as on Linux, and
        # the SO marks above the total's two characters.
        size, lines = ink_by_cell(png)
        self.assertEqual((size, lines), ink_by_cell(LINUX_PICTURE),
                         f"the Linux picture {LINUX_PICTURE} is made by scripts/screenshots.sh")
        self.assertEqual(lines[0], "#" * 20 + "." * 12)
        self.assertEqual(lines[22][:6], "%%%%..")
        # To a pipe byte for byte: no LF made CR LF.
        piped = self.run_program("--preview", "-")
        self.assertEqual((piped.returncode, piped.stdout), (0, png.read_bytes()))
        tall = self.run_program("--preview", "-", "--receipt", "-", stdin=b"\n" * 29411)
        self.assertEqual((tall.returncode, tall.stdout), (10, b""))
        self.assertIn(b"qj570-rs232: standard input: too long for one picture: it takes 29412 "
                      b"lines of paper, and a picture holds 29411 at most", tall.stderr)

    def test_bad_arguments_print_a_hint_and_open_nothing(self):
        self.map_ports({"COM1": self.printer.pty})
        receipt = "Z:" + str(SAMPLE_TEXT).replace("/", "\\")
        for args in (["--bogus"], ["--port", "LPT1"], ["--port"],
                     ["--line", "9600,7E1", "--receipt", receipt],
                     ["--line", "250000", "--receipt", receipt]):
            done = self.run_program(*args)
            self.assertEqual(done.returncode, 2, args)
            self.assertRegex(done.stderr, rb"\Aqj570-rs232: [^\n]+\nTry 'qj570-rs232 --help' "
                             rb"for more information\.\n\Z", args)
        done = self.run_program("--help")
        self.assertEqual(done.returncode, 0)
        self.assertIn(b"Exit status", done.stdout)
        bad = pathlib.Path(self.workdir.name) / "bad.txt"
        bad.write_bytes("caf\u00e9\n".encode())
        done = self.run_program("--receipt", "Z:" + str(bad).replace("/", "\\"))
        self.assertEqual(done.returncode, 10)
        self.assertIn(b"line 1, column 4: U+00E9", done.stderr)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), b"")


if __name__ == "__main__":
    if os.environ.get(INSIDE) != "1" and os.geteuid() == 0 and shutil.which("unshare"):
        os.environ[INSIDE] = "1"
        argv = in_private_dev("-", [sys.executable, os.path.abspath(__file__), *sys.argv[1:]])
        os.execvp(argv[0], argv)
    unittest.main(argv=sys.argv[:1], verbosity=2)
