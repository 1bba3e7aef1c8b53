"""The serial link on real kernel drivers: a QEMU guest running Debian's
own kernel, whose serial ports are QEMU's and write into files here.

    guest_test.py PROBE CACHE_DIR

The guest's ttyS0 is its console. ttyS1 is an emulated 16550A UART (the
8250 driver), ttyS2 a port the 8250 driver registers with no UART behind
it, and ttyUSB0 an emulated FTDI FT232 (the ftdi_sio driver), which the
test unplugs while jobs run. ttyACM0 is a USB CDC-ACM device with no
hardware at all: the guest's dummy_hcd with the g_serial gadget, whose side
is ttyGS0. The guest stalls it and unplugs it again and again. Debian's kernel and the initramfs are kept in
CACHE_DIR, so a second run downloads nothing. Nothing here touches the
host's serial ports.
"""
import functools
import json
import lzma
import os
import pathlib
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PROBE, CACHE = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
HERE = pathlib.Path(__file__).resolve().parent
RECEIPT = bytes.fromhex((HERE.parent / "data" / "sample_receipt.hex").read_text()
                        .replace("\n", " "))
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio", "usbmon",
           "configfs", "udc-core", "libcomposite", "u_serial", "usb_f_acm", "dummy_hcd",
           "g_serial", "cdc-acm"]
BOOT_LIMIT = 120  # seconds; a boot under TCG takes about 15


def run(*argv, cwd=None):
    return subprocess.run(argv, cwd=cwd, check=True, capture_output=True, text=True).stdout


def debian_kernel():
    """vmlinuz and the USB serial modules of Debian's current kernel,
    downloaded once into the cache."""
    kept = sorted(CACHE.glob("linux-image-*/vmlinuz"))
    if kept and all((kept[-1].parent / "modules" / f"{m}.ko").exists() for m in MODULES):
        return kept[-1].parent
    for old in CACHE.glob("linux-image-*"):
        shutil.rmtree(old)
    depends = run("apt-cache", "depends", "linux-image-amd64")
    package = re.search(r"Depends: (linux-image-\S+)", depends).group(1)
    folder = CACHE / package
    with tempfile.TemporaryDirectory() as tmp:
        run("apt-get", "download", package, cwd=tmp)
        deb = next(pathlib.Path(tmp).glob("*.deb"))
        run("dpkg-deb", "-x", str(deb), tmp + "/x")
        staging = pathlib.Path(tmp) / "kernel"
        (staging / "modules").mkdir(parents=True)
        shutil.copy(next(pathlib.Path(tmp, "x", "boot").glob("vmlinuz-*")), staging / "vmlinuz")
        found = {p.name.split(".ko")[0]: p for p in pathlib.Path(tmp, "x").rglob("*.ko*")}
        for name in MODULES:
            module = found[name]
            data = module.read_bytes()
            if module.name.endswith(".xz"):
                data = lzma.decompress(data)
            elif module.name.endswith(".zst"):
                data = subprocess.run(["zstd", "-dc", str(module)], check=True,
                                      capture_output=True).stdout
            (staging / "modules" / f"{name}.ko").write_bytes(data)
        CACHE.mkdir(parents=True, exist_ok=True)
        shutil.move(str(staging), folder)
    return folder


def newc(entries):
    """A newc cpio archive, as the kernel unpacks an initramfs. Each entry
    is (name, mode, data, (major, minor) for a device node)."""
    out = bytearray()

    def pad():
        out.extend(b"\0" * (-len(out) % 4))

    for ino, (name, mode, data, rdev) in enumerate(entries + [("TRAILER!!!", 0, b"", (0, 0))],
                                                   start=1):
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
        out += b"070701" + "".join(f"{v:08X}" for v in fields).encode() + name.encode() + b"\0"
        pad()
        out += data
        pad()
    return bytes(out)


def initramfs(kernel, target):
    """The guest's root: busybox, the probe, init.sh and the modules. Kept
    in the cache until one of them changes."""
    busybox = shutil.which("busybox")
    sources = [pathlib.Path(busybox), PROBE, HERE / "init.sh", kernel / "vmlinuz"]
    if target.exists() and all(p.stat().st_mtime <= target.stat().st_mtime for p in sources):
        return
    directory, executable, char_device = 0o040755, 0o100755, 0o020600
    entries = [(d, directory, b"", (0, 0)) for d in ("bin", "dev", "proc", "sys", "modules")]
    entries += [("dev/console", char_device, b"", (5, 1)),
                ("init", executable, (HERE / "init.sh").read_bytes(), (0, 0)),
                ("bin/busybox", executable, pathlib.Path(busybox).read_bytes(), (0, 0)),
                ("probe", executable, PROBE.read_bytes(), (0, 0))]
    entries += [(f"modules/{m}.ko", 0o100644, (kernel / "modules" / f"{m}.ko").read_bytes(),
                 (0, 0)) for m in MODULES]
    target.write_bytes(newc(entries))


class Guest:
    """QEMU with the guest's console on a pipe, collecting its lines."""

    def __init__(self, kernel, initrd, workdir):
        self.uart = workdir / "uart.bin"
        self.usb = workdir / "usb.bin"
        self.trace = workdir / "qemu.log"
        self.qmp_path = workdir / "qmp.sock"
        self.lines = queue.Queue()
        self.console = []
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-M", "q35", "-m", "256", "-smp", "2", "-nographic",
             "-no-reboot",
             "-kernel", str(kernel / "vmlinuz"), "-initrd", str(initrd),
             "-append", "console=ttyS0 panic=-1 quiet",
             "-serial", "mon:stdio",
             "-chardev", f"file,id=uart,path={self.uart}", "-serial", "chardev:uart",
             "-device", "qemu-xhci",
             "-chardev", f"file,id=usb,path={self.usb}",
             "-device", "usb-serial,chardev=usb,id=ftdi",
             "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
             "-trace", "enable=usb_serial_handle_control",
             "-trace", "enable=serial_update_parameters", "-D", str(self.trace)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode(errors="replace").strip()
            self.console.append(line)
            self.lines.put((time.monotonic(), line))
        self.lines.put((time.monotonic(), None))

    def wait_for(self, prefix, timeout):
        """(time, line) of the next line that starts with prefix."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                when, line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
                when = None
            if line is None:
                raise AssertionError(f"no '{prefix}' from the guest:\n" +
                                     "\n".join(self.console[-40:]))
            if prefix in line:  # the firmware leaves escape codes before the first line
                return when, line[line.index(prefix):]

    def collect(self, prefix, until, timeout):
        """The lines that start with prefix, up to the line that starts with until."""
        lines = []
        while True:
            line = self.wait_for("", timeout)[1]
            if line.startswith(until):
                return lines, line
            if line.startswith(prefix):
                lines.append(line)

    def qmp(self, command, **arguments):
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(str(self.qmp_path))
            stream = s.makefile("rw")
            stream.readline()  # the greeting
            for message in ({"execute": "qmp_capabilities"},
                            {"execute": command, "arguments": arguments}):
                stream.write(json.dumps(message) + "\n")
                stream.flush()
                reply = json.loads(stream.readline())
                while "event" in reply:
                    reply = json.loads(stream.readline())
                if "error" in reply:
                    raise AssertionError(f"{command}: {reply}")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=30)


def parse(line):
    """"LINE dev a=1 b=2" -> {"a": 1, "b": 2}"""
    return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line)}


class GuestDrivers(unittest.TestCase):
    """One boot runs every case in order; each test checks one of them."""

    @classmethod
    def setUpClass(cls):
        if shutil.which("qemu-system-x86_64") is None or shutil.which("busybox") is None:
            raise unittest.SkipTest("needs qemu-system-x86 and busybox-static")
        cls.tmp = tempfile.TemporaryDirectory()
        workdir = pathlib.Path(cls.tmp.name)
        kernel = debian_kernel()
        initrd = CACHE / "initrd.cpio"
        initramfs(kernel, initrd)
        cls.guest = guest = Guest(kernel, initrd, workdir)
        try:
            cls.ready, _ = guest.wait_for("GUEST ready", BOOT_LIMIT)
            cls.uart_types = guest.wait_for("UART ", 30)[1].split()[1:]
            cls.port_lines = guest.collect("PORT ", "PORTS done", 30)[0]
            cls.ports = [line.split()[1] for line in cls.port_lines]
            cls.results = {}
            for device in ("/dev/ttyS1", "/dev/ttyUSB0"):
                cls.results[device] = [guest.wait_for(f"LINE {device}", 60)[1]]
                if device == "/dev/ttyS1":
                    cls.results[device].append(guest.wait_for(f"CLOSED {device}", 60)[1])
                guest.wait_for(f"JOB {device} done", 60)
                # A job's close waits for the line, so its bytes are in the file now.
                cls.results[device].append((guest.uart if "ttyS" in device else guest.usb)
                                           .read_bytes())
            cls.no_uart = guest.wait_for("ERROR job", 60)[1]
            cls.other_lines = {}
            for device in ("/dev/ttyS1", "/dev/ttyUSB0"):
                cls.other_lines[device] = guest.wait_for(f"LINE {device}", 60)[1]
                guest.wait_for(f"JOB {device} done", 60)
            cls.uart_sent = guest.uart.read_bytes()
            guest.wait_for("GUEST unplug now", 30)
            guest.wait_for("LOOP /dev/ttyUSB0 started", 30)
            # Unplug while a receipt is on its way (the file ends mid-receipt),
            # or anyway once jobs have run for a while.
            before = 4 * len(RECEIPT)
            deadline = time.monotonic() + 60
            enough = None
            while True:
                sent = guest.usb.stat().st_size - before
                if sent >= 5 * len(RECEIPT):
                    enough = enough or time.monotonic()
                    if sent % len(RECEIPT) != 0 or time.monotonic() - enough > 3:
                        break
                if time.monotonic() > deadline:
                    raise AssertionError("the jobs in a loop sent too little")
                time.sleep(0.001)
            cls.unplugged = time.monotonic()
            guest.qmp("device_del", id="ftdi")
            cls.failed_at, cls.loop = guest.wait_for("LOOP /dev/ttyUSB0 failed", 30)
            cls.loop_error = guest.wait_for("ERROR loop", 10)[1]
            guest.wait_for("GUEST acm", 60)
            cls.acm_port_lines = guest.collect("PORT ", "PORTS done", 30)[0]
            cls.acm_ports = [line.split()[1] for line in cls.acm_port_lines]
            cls.acm_line = guest.wait_for("LINE /dev/ttyACM0", 30)[1]
            guest.wait_for("JOB /dev/ttyACM0 done", 30)
            cls.usbmon, received = guest.collect("USBMON ", "RECEIVED", 30)
            cls.acm_received = bytes.fromhex(received.split(" ", 1)[1])
            cls.exclusive = guest.wait_for("EXCL ", 30)[1]
            guest.wait_for("GUEST stall", 30)
            cls.stall_error = guest.wait_for("ERROR job", 60)[1]
            cls.stall_took = int(guest.wait_for("TOOK", 10)[1].split()[1]) / 1000
            guest.wait_for("JOB /dev/ttyACM0 done", 60)
            cls.after_stall = bytes.fromhex(guest.wait_for("AFTER", 30)[1].split(" ", 1)[1])
            cls.unplug_results = guest.collect("RESULT ", "UNPLUGS done", 120)[0]
            cls.unplugs_sent = bytes.fromhex(guest.wait_for("UNPLUGGED", 30)[1].split(" ", 1)[1])
            guest.wait_for("GUEST done", 30)
            guest.process.wait(timeout=60)
            cls.ended = time.monotonic()
        except BaseException:
            guest.stop()
            cls.tmp.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.guest.stop()
        g = cls.guest
        print("\n".join(l for l in g.console if l[:4] in ("LOOP", "ERRO", "TOOK")), file=sys.stderr)
        results = [line.split() for line in getattr(cls, "unplug_results", [])]
        caught = [int(r[3]) for r in results if r[2] == "fail" and r[4] == "use"]
        print(f"\nguest: boot {cls.ready - g.started:.1f} s, FTDI unplug to error "
              f"{cls.failed_at - cls.unplugged:.2f} s, CDC-ACM stall to error "
              f"{cls.stall_took:.2f} s, whole run {cls.ended - g.started:.1f} s\n"
              f"CDC-ACM unplugs: {g.console.count('UNPLUG')}; jobs {len(results)}: "
              f"{sum(r[2] == 'ok' for r in results)} ok, {len(caught)} caught in flight "
              f"(failed after {sorted(caught)} ms), the rest failed at the open",
              file=sys.stderr)
        cls.tmp.cleanup()

    def check_line_while_open(self, line):
        got = parse(line)
        self.assertEqual(got, dict(got, speed=9600, csize8=1, parenb=0, cstopb=0, crtscts=0,
                                   ixon=0, ixoff=0, opost=0, icanon=0, echo=0, isig=0, hupcl=1,
                                   dtr=1, rts=0), line)

    def ftdi_requests(self):
        """The FTDI requests the driver sent on the USB bus, as QEMU saw them:
        for each open, which starts with a reset (0x4000), the (request,
        value) pairs in order."""
        opens = []
        for request, value in re.findall(r"got control 0x([0-9a-f]+), value 0x([0-9a-f]+)",
                                         self.guest.trace.read_text()):
            if int(request, 16) == 0x4000:
                opens.append([])
            elif opens:
                opens[-1].append((int(request, 16), int(value, 16)))
        return opens

    def test_another_printers_line_on_the_8250_uart_and_the_ftdi_adapter(self):
        # 38400 8O2 with RTS/CTS on the UART: the tty reads back what the
        # driver set, and QEMU shows the divisor and line control the driver
        # wrote to the UART.
        self.assertEqual(parse(self.other_lines["/dev/ttyS1"]),
                         dict(parse(self.other_lines["/dev/ttyS1"]), speed=38400, csize8=1,
                              parenb=1, parodd=1, cstopb=1, crtscts=1, ixon=0),
                         self.other_lines["/dev/ttyS1"])
        self.assertIn("baudrate=38400 parity='O' data=8 stop=2", self.guest.trace.read_text())
        self.assertEqual(self.uart_sent, RECEIPT * 4)
        # 19200 8E1 with XON/XOFF on the FTDI: the divisor of SET_BAUDRATE
        # (0x4003; 3 MHz over the divisor, whose top two bits are eighths),
        # SET_DATA (0x4004: data bits, parity << 8, stop bits << 11) and
        # SET_FLOW_CTRL (0x4002) with XOFF and XON for the chip to act on.
        self.assertEqual(parse(self.other_lines["/dev/ttyUSB0"]),
                         dict(parse(self.other_lines["/dev/ttyUSB0"]), speed=19200, csize8=1,
                              parenb=1, parodd=0, cstopb=0, crtscts=0, ixon=1, ixoff=1),
                         self.other_lines["/dev/ttyUSB0"])

        def line(requests):
            # As the link left the line: the last of each request before it
            # raises DTR (0x4001, 0x101), which it does once the line is set.
            # The open sets the line first, and the close turns flow control
            # off again.
            state = dict(requests[:requests.index((0x4001, 0x101))])
            divisor = state[0x4003]
            eighths = (0, 4, 2, 1)[divisor >> 14]
            return 24_000_000 // (8 * (divisor & 0x3fff) + eighths), state[0x4004], state[0x4002]

        opens = self.ftdi_requests()
        self.assertEqual(line(opens[0]), (9600, 0x0008, 0), opens[0])
        self.assertEqual(line(opens[2]), (19200, 0x0208, 0x1311), opens[2])

    def test_8250_uart_two_jobs_line_settings_and_dtr_dropped_at_close(self):
        self.assertNotEqual(self.uart_types[0], "0", "ttyS1 should have a UART")
        line, closed, sent = self.results["/dev/ttyS1"]
        self.check_line_while_open(line)
        self.assertEqual(parse(closed), {"dtr": 0, "rts": 0}, closed)
        self.assertEqual(sent, RECEIPT * 2)

    def test_ftdi_adapter_two_jobs_line_settings_and_dtr_dropped_at_close(self):
        line, sent = self.results["/dev/ttyUSB0"]
        self.check_line_while_open(line)
        self.assertEqual(sent[:2 * len(RECEIPT)], RECEIPT * 2)
        # SET_MODEM_CTRL (0x4001) sets DTR (bit 0) and RTS (bit 1) where
        # their mask bits (0x100, 0x200) say so. While open the link leaves
        # DTR up and RTS down; the close leaves both down.
        jobs, dtr, rts = [], 0, 0
        for requests in self.ftdi_requests():
            jobs.append([])
            for request, value in requests:
                if request == 0x4001:
                    dtr = value & 1 if value & 0x100 else dtr
                    rts = value >> 1 & 1 if value & 0x200 else rts
                    jobs[-1].append((dtr, rts))
        for states in jobs[:2]:
            self.assertIn((1, 0), states, jobs)
            self.assertEqual(states[-1], (0, 0), jobs)

    def test_port_without_uart_fails_before_any_byte_and_says_so(self):
        self.assertEqual(self.uart_types[1], "0", "ttyS2 is a placeholder")
        self.assertIn("ERROR job 5 open no-hardware cannot use serial port /dev/ttyS2: "
                      "Input/output error", self.no_uart)

    def test_finder_lists_the_ports_with_hardware_only(self):
        self.assertEqual(self.ports, ["/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"])
        self.assertEqual(self.acm_ports, ["/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1"])
        # What sysfs says of each: the bus, the driver, and for USB the ids
        # and the product string, as the device reports it.
        usb = next(line for line in self.port_lines if "/dev/ttyUSB0" in line)
        self.assertTrue(usb.endswith("/dev/ttyUSB0 usb ftdi_sio 0403:6001 QEMU USB SERIAL"), usb)
        uart = next(line for line in self.port_lines if "/dev/ttyS1" in line)
        self.assertRegex(uart, r"/dev/ttyS1 board \S+ 0000:0000\s*$")
        acm = next(line for line in self.acm_port_lines if "/dev/ttyACM0" in line)
        self.assertRegex(acm, r"/dev/ttyACM0 usb cdc_acm 0525:a4a7 ")

    def test_unplug_mid_job_fails_within_two_seconds_leaving_whole_receipts(self):
        # A job past its open fails at once: its write or drain. A job that
        # the unplug catches inside one of ftdi_sio's USB control requests
        # (the open's reset, the line, the modem lines, the close's DTR)
        # waits for the driver's 5 s time-out (WDR_TIMEOUT): QEMU completes
        # no request to a device it has removed. A job caught in its close
        # has sent everything and succeeds; the next one finds no port.
        took = self.failed_at - self.unplugged
        if re.match(r"ERROR loop \d+ use ", self.loop_error):
            self.assertLess(took, 2.0, self.loop)
            self.assertRegex(self.loop_error, r"^ERROR loop \d+ use gone ")
        else:
            self.assertLess(took, 6.5, self.loop)
            self.assertRegex(self.loop_error, r"^ERROR loop \d+ open \S+ cannot .* serial port "
                             r"/dev/ttyUSB0: ")
        after = self.guest.usb.read_bytes()[4 * len(RECEIPT):]
        whole, rest = divmod(len(after), len(RECEIPT))
        self.assertGreaterEqual(whole, 5)
        self.assertEqual(after, RECEIPT * whole + RECEIPT[:rest])
        # No false success: each job that said so sent a whole receipt. The
        # failed one may have sent all of its receipt, or part of it.
        succeeded = int(re.search(r"after (\d+) jobs", self.loop).group(1))
        self.assertIn(whole, (succeeded, succeeded + 1), self.loop)
        self.assertFalse(whole == succeeded + 1 and rest, self.loop)

    def test_cdc_acm_two_jobs_line_settings_and_dtr_dropped_at_close(self):
        self.check_line_while_open(self.acm_line)
        self.assertEqual(self.acm_received, RECEIPT * 2)
        # What cdc_acm asked of the device, as usbmon saw it on the bus:
        # SET_LINE_CODING (0x20), last sent with 9600 baud, 1 stop bit, no
        # parity, 8 bits (cdc_acm sends it again whenever the termios the
        # link set differ), and SET_CONTROL_LINE_STATE (0x22) with DTR (bit
        # 0) and RTS (bit 1). Each open raises both; the link lowers RTS; the
        # close drops DTR.
        coding = [l.split("=")[1].split() for l in self.usbmon if " s 21 20 " in l and "=" in l]
        self.assertEqual(coding[-1:], [["80250000", "000008"]], self.usbmon)
        states = [int(re.search(r" s 21 22 ([0-9a-f]{4}) ", l).group(1), 16)
                  for l in self.usbmon if " s 21 22 " in l]
        self.assertIn(1, states, self.usbmon)
        self.assertEqual(states[-1], 0, self.usbmon)

    def test_cdc_acm_held_by_a_link_stays_its_own_after_a_second_link_failed(self):
        # EBUSY (16) for the user's open: the failed second link left the
        # first one's exclusive use alone.
        self.assertEqual(self.exclusive, "EXCL /dev/ttyACM0 second=busy other=16")

    def test_cdc_acm_that_takes_no_data_fails_within_the_bound_and_is_free_after(self):
        # 339 bytes at 9600 baud take 0.35 s; the margin is 5 s.
        self.assertRegex(self.stall_error, r"^ERROR job 8105 use stalled cannot .* serial port "
                         r"/dev/ttyACM0: The device has taken no data for 5 s")
        self.assertGreater(self.stall_took, 5.0)
        self.assertLess(self.stall_took, 7.0)
        # The next job finds the port free; the stalled receipt's bytes died
        # with its port, or arrive whole or in part before the next receipt.
        self.assertTrue(self.after_stall.endswith(RECEIPT), self.after_stall)
        self.assertTrue(RECEIPT.startswith(self.after_stall[:-len(RECEIPT)]))

    def test_cdc_acm_unplugged_again_and_again_never_reports_a_cut_receipt_as_printed(self):
        results = [line.split()[2] == "ok" for line in self.unplug_results]
        self.assertGreaterEqual(results.count(False), 4, self.unplug_results)
        self.assertGreaterEqual(results.count(True), 4, self.unplug_results)
        if not whole_receipts_for_each_success(results, self.unplugs_sent):
            kept = pathlib.Path(tempfile.gettempdir()) / "qj570-unplugs.bin"
            kept.write_bytes(self.unplugs_sent)
            self.fail(f"a job said it printed a receipt that did not arrive whole (bytes in "
                      f"{kept}):\n" + "\n".join(self.unplug_results))


def whole_receipts_for_each_success(results, sent):
    """Whether the bytes that arrived can be split, job by job in order, into
    a whole receipt for each job that succeeded and a beginning of one
    (maybe empty, maybe whole) for each job that failed."""
    @functools.lru_cache(maxsize=None)
    def fits(job, at):
        if job == len(results):
            return at == len(sent)
        if results[job]:
            return sent.startswith(RECEIPT, at) and fits(job + 1, at + len(RECEIPT))
        return any(fits(job + 1, at + n) for n in range(len(RECEIPT) + 1)
                   if sent.startswith(RECEIPT[:n], at))
    return fits(0, 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
