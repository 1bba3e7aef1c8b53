"""Running the real program under Xvfb against the virtual printer, each run
in a private mount namespace where /dev/ttyS0 is the printer's pty (or
missing, or a plain file), so the machine's own serial ports are never
touched."""
import array
import errno
import fcntl
import os
import pathlib
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
import unittest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
WITH_PRIVATE_DEV = SOURCE_DIR / "tools" / "with-private-dev.sh"


def expected_receipt():
    text = (SOURCE_DIR / "tests" / "data" / "sample_receipt.hex").read_text()
    return bytes.fromhex(text.replace("\n", " "))


def wait_until(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def require_tools(*tools):
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root for a private mount namespace (unshare -m)")
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise unittest.SkipTest("missing: " + " ".join(missing))


class Xvfb:
    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1280x1024x24",
             "-dpi", "96", "-noreset"],  # Xvfb's own default is 100; resources stay
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)

    def run(self, *args, check=True):
        return subprocess.run(args, env=self.env, check=check, capture_output=True, text=True,
                              timeout=30).stdout.strip()

    def windows(self, name):
        """The windows of that name that are on the screen: one that is not
        mapped yet takes no click."""
        return self.run("xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(name)}$",
                        check=False).split()

    def screenshot(self, window, name):
        """A window that has only just been mapped may not be painted yet:
        taken again until it shows more than one colour."""
        folder = pathlib.Path(os.environ.get("QJ570_SCREENSHOTS", tempfile.gettempdir()))
        folder.mkdir(parents=True, exist_ok=True)
        path = str(folder / name)
        wait_until(lambda: self.run("import", "-window", window, path) == "" and
                   self.run("identify", "-format", "%k", path) != "1", 5, step=0.1)

    def set_resources(self, text):
        """The X resources that programs read when they open the display, as
        xrdb sets them (Xft.dpi: 192 is how desktops scale to 200 %)."""
        from Xlib import X, Xatom, display
        d = display.Display(self.display)
        root = d.screen().root
        if text:
            root.change_property(Xatom.RESOURCE_MANAGER, Xatom.STRING, 8, text.encode())
        else:
            root.delete_property(Xatom.RESOURCE_MANAGER)
        d.sync()
        d.close()

    def unpainted_after_cover(self, window):
        """How much of `window` is still red 2 s after another program's red
        window lay over it: a program that does not answer leaves it so."""
        from Xlib import X, display
        geometry = self.run("xdotool", "getwindowgeometry", window)
        x, y, width, height = map(int, re.search(r"Position: (\d+),(\d+).*Geometry: (\d+)x(\d+)",
                                                 geometry, re.S).groups())
        d = display.Display(self.display)
        root = d.screen().root
        cover = root.create_window(x, y, width, height, 0, d.screen().root_depth,
                                   background_pixel=0xFF0000, override_redirect=True)
        cover.map()
        d.sync()
        time.sleep(0.3)
        cover.destroy()

        def red():
            image = root.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF)
            return sum(1 for pixel in array.array("I", image.data) if pixel & 0xFFFFFF == 0xFF0000)
        wait_until(lambda: red() == 0, 2, step=0.1)
        left = red()
        d.close()
        return left

    def selection(self, name="CLIPBOARD"):
        """The text that the X selection `name` (CLIPBOARD or PRIMARY) holds,
        as a program pasting it would get it; None when no one holds it."""
        import tkinter
        root = tkinter.Tk(screenName=self.display)
        root.withdraw()
        try:
            return root.selection_get(selection=name, type="UTF8_STRING")
        except tkinter.TclError:
            return None
        finally:
            root.destroy()

    def close_window(self, window):
        """What a window manager's close box does: WM_DELETE_WINDOW."""
        from Xlib import X, display, protocol
        d = display.Display(self.display)
        w = d.create_resource_object("window", int(window))
        protocols = d.intern_atom("WM_PROTOCOLS")
        event = protocol.event.ClientMessage(
            window=w, client_type=protocols,
            data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        w.send_event(event)
        d.sync()  # a round trip: the server has taken the event before we hang up
        d.close()


class Printer:
    """The end of the line: what has arrived so far (received, in a subclass)."""

    def wait_for(self, count, timeout=5):
        wait_until(lambda: len(self.received()) >= count, timeout)
        return self.received()


class VirtualPrinter(Printer):
    """tools/virtual_printer on a fresh pty, saving the raw bytes (and with
    png_dir, each receipt's picture)."""

    def __init__(self, binary, workdir, png_dir=None):
        self.raw = pathlib.Path(workdir) / "received.bin"
        self.shown = pathlib.Path(workdir) / "printed.txt"
        self.errors = pathlib.Path(workdir) / "printer-errors.txt"
        pictures = ["--png", str(png_dir)] if png_dir else []
        with open(self.shown, "w") as out, open(self.errors, "w") as errors:
            self.process = subprocess.Popen([binary, "--raw", str(self.raw), *pictures],
                                            stdout=out, stderr=errors)
        first = wait_until(lambda: self.shown.read_text().split("\n", 1)[0], 5)
        self.pty = re.search(r"/dev/pts/\d+", first).group(0)

    def received(self):
        return self.raw.read_bytes() if self.raw.exists() else b""

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class PtyPrinter(Printer):
    """A bare printer: a pty whose master end this process drains, for runs
    that cannot reach a printer started outside their namespace. It keeps
    no slave open, since the program refuses a port that another process
    has open: the master reads EIO while nobody has the port, and the line's
    settings stay while the master is open."""

    def __init__(self, slow_for=0, pace=100):
        """For `slow_for` seconds from its first byte it takes only `pace`
        bytes a second, as a slow printer holding the line does."""
        self.master, slave = os.openpty()
        self.pty = os.ttyname(slave)
        os.close(slave)
        self.data = bytearray()
        self.lock = threading.Lock()
        self.slow_for, self.pace = slow_for, pace
        self.stop_read, self.stop_write = os.pipe()
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        slow_until = None
        while True:
            ready, _, _ = select.select([self.master, self.stop_read], [], [])
            if self.stop_read in ready:
                return
            slow = slow_until is None or time.monotonic() < slow_until
            try:
                chunk = os.read(self.master, self.pace // 8 if self.slow_for and slow else 4096)
            except OSError as error:  # EIO: nobody has the port open
                if error.errno != errno.EIO:
                    raise
                time.sleep(0.01)
                continue
            with self.lock:
                self.data += chunk
            if self.slow_for and slow:
                slow_until = slow_until or time.monotonic() + self.slow_for
                time.sleep(0.125)

    def received(self):
        with self.lock:
            return bytes(self.data)

    def line(self):
        """The line's termios as the last run left them."""
        return line_of(self.pty)

    def rate(self):
        """The line's output speed in baud as the kernel keeps it (struct
        termios2's c_ospeed, read with TCGETS2): a program may set any rate
        through termios2, where tcgetattr shows only BOTHER."""
        tcgets2 = 0x802C542A  # _IOR('T', 0x2A, struct termios2), 44 bytes
        fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return struct.unpack_from("=I", fcntl.ioctl(fd, tcgets2, bytes(44)), 40)[0]
        finally:
            os.close(fd)

    def stop(self):
        os.write(self.stop_write, b"x")
        self.reader.join()
        for fd in (self.master, self.stop_read, self.stop_write):
            os.close(fd)


def line_of(pty):
    """A pty's termios as the last run left them: read once the program has
    let go, since an open of ours would make the port busy."""
    fd = os.open(pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


def in_private_dev(port, command):
    """`command` in a mount namespace of its own whose /dev has `port` as
    ttyS0 ("-" for none) and no other serial port."""
    return ["unshare", "-m", str(WITH_PRIVATE_DEV), port, *command]


class Program:
    """A run of the program (argv), found by its window's name."""

    def __init__(self, argv, x, workdir, name="qj570-rs232", extra_env=None):
        self.x = x
        self.name = name
        self.stderr_path = pathlib.Path(workdir) / "stderr.txt"
        before = set(x.windows(name))
        env = dict(x.env, **(extra_env or {}))
        # A loaded X server now and then refuses a connection: the program
        # then ends at once, and gets one more try.
        for _ in range(2):
            with open(self.stderr_path, "w") as err:
                self.process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                                stderr=err)
            found = wait_until(lambda: self.process.poll() is not None or
                               [w for w in x.windows(name) if w not in before], 20, step=0.05)
            if found is not True or "Can't open display" not in self.stderr():
                break
        if not isinstance(found, list) or not found:
            self.kill()
            raise AssertionError("the window did not appear: " + self.stderr())
        self.window = found[0]
        self.others = before | {self.window}

    def stderr(self):
        return self.stderr_path.read_text()

    def geometry(self):
        out = self.x.run("xdotool", "getwindowgeometry", self.window)
        return tuple(int(v) for v in re.search(r"Geometry: (\d+)x(\d+)", out).groups())

    def click(self, x, y):
        self.x.run("xdotool", "mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def key(self, name, window=None):
        target = window or self.window
        self.x.run("xdotool", "windowfocus", "--sync", target, "key", name)

    def new_window(self, timeout=10):
        found = wait_until(lambda: [w for w in self.x.windows(self.name) if w not in self.others],
                           timeout)
        return found[0] if found else None

    def wait(self, timeout=10):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise

    def kill(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait(timeout=10)


def port_is_free(path):
    """Another program can take the port's lock, as the next job would."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


class ProgramTestCase(unittest.TestCase):
    """Checks shared by the Linux and the Windows program. A subclass sets
    self.x and self.printer, and starts programs with self.start(port)."""

    RECEIPT = expected_receipt()
    QUIET = 0.4  # long enough for a job on a pty to have shown up

    def start(self, port=None):
        raise NotImplementedError

    def assert_receipts(self, count, timeout=5):
        self.printer.wait_for(len(self.RECEIPT) * count, timeout)
        time.sleep(self.QUIET)
        self.assertEqual(self.printer.received(), self.RECEIPT * count)

    def close(self, program):
        self.x.close_window(program.window)
        self.assertEqual(program.wait(), 0)

    def check_presses(self, program, after_each=None):
        """Click, Space, Enter and two quick clicks: one whole receipt each."""
        presses = [lambda: program.click(120, 56), lambda: program.key("space"),
                   lambda: program.key("Return")]
        for count, press in enumerate(presses, start=1):
            press()
            self.assert_receipts(count)
            if after_each:
                after_each()
        program.click(120, 56)
        time.sleep(0.2)
        program.click(120, 56)
        self.assert_receipts(len(presses) + 2)

    def check_held_keys(self, program, keys=("Return", "space")):
        """A key held down is one press, however often the X server repeats
        it (here from 250 ms on, 30 times a second)."""
        self.x.run("xset", "r", "rate", "250", "30")
        self.addCleanup(self.x.run, "xset", "r", "rate")  # the server's default again
        for count, key in enumerate(keys, start=1):
            self.x.run("xdotool", "windowfocus", "--sync", program.window, "keydown", key)
            time.sleep(1.5)
            self.x.run("xdotool", "keyup", key)
            self.assert_receipts(count)

    def check_held_key_on_a_failure(self, program):
        """Enter held on the button of a job that fails: the box stays until
        it has been read, however often the key repeats into it."""
        self.x.run("xset", "r", "rate", "250", "30")
        self.addCleanup(self.x.run, "xset", "r", "rate")
        self.x.run("xdotool", "windowfocus", "--sync", program.window, "keydown", "Return")
        time.sleep(0.5)
        # Meanwhile the window goes on answering: it paints what was hidden.
        self.assertEqual(self.x.unpainted_after_cover(program.window), 0)
        self.x.run("xdotool", "keyup", "Return")
        box = program.new_window()
        self.assertIsNotNone(box, "no message box: " + program.stderr())
        time.sleep(self.QUIET)
        self.assertIsNone(program.process.poll(), "the held key dismissed the box")
        program.key("Return", window=box)
        self.assertNotEqual(program.wait(), 0)

    def check_failure(self, port, number, device, screenshot=None, before_dismissing=None):
        """A press on a port that cannot be used: a message box of its own;
        once dismissed the program ends in failure, having sent nothing."""
        program = self.start(port)
        program.click(120, 56)
        box = program.new_window()
        self.assertIsNotNone(box, "no message box: " + program.stderr())
        if screenshot:
            self.x.screenshot(box, screenshot)
        self.assertIsNone(program.process.poll(), "ended before the box was dismissed")
        if before_dismissing:
            before_dismissing(program, box)
        program.key("Return", window=box)
        self.assertEqual(program.wait(), 1)  # whatever the failure: only --receipt tells them apart
        self.last_stderr = program.stderr()
        self.assertIn(f"Run-time error '{number}': ", self.last_stderr)
        self.assertIn(device, self.last_stderr)
        self.assertEqual(self.printer.received(), b"")
