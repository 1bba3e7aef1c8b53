#include "receipt/serial/serial_link.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "tests/test_support.h"

namespace qj570 {
namespace {

using ::testing::HasSubstr;
using testing::OpenDescriptorCount;
using testing::PtyPeer;

std::error_code Sys(int number) { return {number, std::system_category()}; }

// Runs `step`, which must fail with a LinkError carrying `code` and a
// description that names `device`.
LinkError ExpectLinkError(const std::function<void()>& step, std::error_code code,
                          const std::string& device) {
  try {
    step();
  } catch (LinkError& e) {
    EXPECT_EQ(e.code(), code) << e.what();
    EXPECT_EQ(e.number(), code.value());
    EXPECT_EQ(e.device(), device);
    EXPECT_THAT(e.what(), HasSubstr(device));
    return std::move(e);
  }
  ADD_FAILURE() << "no LinkError";
  return {{}, LinkStep::kOpen, "", PortTrouble::kOther};
}

TEST(SerialLink, AppliesItsSettingsAndReadsThemBack) {
  const PtyPeer peer;
  {
    SerialLink link(peer.slave_path());  // the printer's: raw 8N1 at 9600, no flow control
    link.open();
    termios tio{};
    ASSERT_EQ(::tcgetattr(peer.slave_fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | HUPCL),
              static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0U);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
    const int flags = ::fcntl(peer.slave_fd(), F_GETFL);
    link.close();
    EXPECT_EQ(::fcntl(peer.slave_fd(), F_GETFL), flags);
  }
  // Another printer's line: every field is applied, none is hard-coded.
  PortSettings other;
  other.baud = 19200;
  other.stop_bits = StopBits::kTwo;
  other.flow_control = FlowControl::kRtsCts;
  SerialLink link(peer.slave_path(), other);
  link.open();
  termios tio{};
  ASSERT_EQ(::tcgetattr(peer.slave_fd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B19200);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
  link.close();
  other.flow_control = FlowControl::kXonXoff;
  SerialLink xon(peer.slave_path(), other);
  xon.open();
  ASSERT_EQ(::tcgetattr(peer.slave_fd(), &tio), 0);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0U);
  xon.close();
  // A pty keeps 8 bits and no parity whatever it is asked: the read-back
  // catches a driver that quietly keeps what it cannot do.
  other.data_bits = 7;
  other.parity = Parity::kOdd;
  SerialLink seven(peer.slave_path(), other);
  EXPECT_THAT(
      ExpectLinkError([&] { seven.open(); }, LinkErrc::kSettingsNotTaken, peer.slave_path()).what(),
      HasSubstr("The driver did not take the line's settings (19200 baud, 7 data bits, odd "
                "parity, 2 stop bits, XON/XOFF flow control)"));
  EXPECT_FALSE(seven.is_open());
  // A rate the system does not offer is refused before the port is touched.
  other.baud = 12345;
  SerialLink odd(peer.slave_path(), other);
  const int before = OpenDescriptorCount();
  EXPECT_THAT(
      ExpectLinkError([&] { odd.open(); }, LinkErrc::kUnsupportedSettings, peer.slave_path())
          .what(),
      HasSubstr("This system cannot set the line as asked (12345 baud"));
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialLink, SendsBytesUnalteredInWriteOrderAndDrainsBeforeClosing) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  link.open();
  std::string want;
  for (int i = 0; i < 40; ++i) {  // more than a pty takes in at once
    using std::string_literals::operator""s;
    const std::string bytes =
        "\x1B\x0E\xC1\x60\r\n\x7F\xFF\x00\t"s + std::string(100, static_cast<char>('0' + i % 10));
    want += bytes;
    link.write(bytes);
  }
  const testing::DrainRecorder drains;
  link.close();  // at once: the drain must keep every queued byte
  // A pty never loses queued bytes, so the drain itself is what is checked:
  // one, on the port, while it was still open.
  ASSERT_EQ(drains.calls().size(), 1U);
  EXPECT_TRUE(drains.calls()[0].fd_was_open);
  EXPECT_EQ(::fcntl(drains.calls()[0].fd, F_GETFD), -1) << "the port was not closed after it";
  EXPECT_EQ(peer.WaitFor(want.size()), want);
  EXPECT_EQ(peer.Settle().size(), want.size());
}

TEST(SerialLink, RefusesWhatIsNotAFreeTerminalBeforeSendingAByte) {
  PtyPeer peer;
  const auto plain = std::filesystem::temp_directory_path() / "qj570-plain-file";
  std::ofstream(plain).put('\0');  // not a terminal, and must stay as it is

  const auto refuse = [&](const std::string& device, int number, LinkStep step,
                          PortTrouble trouble) {
    const int before = OpenDescriptorCount();
    SerialLink link(device);
    const LinkError e = ExpectLinkError([&] { link.open(); }, Sys(number), device);
    EXPECT_EQ(e.step(), step) << e.what();
    EXPECT_EQ(e.trouble(), trouble) << e.what();
    EXPECT_FALSE(e.IsCallersMistake());
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(OpenDescriptorCount(), before) << device;
    return std::string(e.what());
  };
  // what() is one plain sentence: no advice, no option of any program.
  EXPECT_EQ(refuse("/nonexistent/ttyS9", ENOENT, LinkStep::kOpen, PortTrouble::kMissing),
            "cannot open serial port /nonexistent/ttyS9: No such file or directory");
  EXPECT_EQ(refuse(plain, ENOTTY, LinkStep::kCheck, PortTrouble::kNotSerialPort),
            "cannot use serial port " + plain.string() + ": Inappropriate ioctl for device");
  EXPECT_EQ(std::filesystem::file_size(plain), 1U);
  refuse("/dev/null", ENOTTY, LinkStep::kCheck, PortTrouble::kNotSerialPort);

  // Another program holds the port. root passes TIOCEXCL, not the lock.
  const int other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  refuse(peer.slave_path(), EWOULDBLOCK, LinkStep::kLock, PortTrouble::kBusy);
  ::close(other);
  std::filesystem::remove(plain);
  EXPECT_EQ(peer.Settle(), "");
}

// The exclusive flag belongs to the tty, not to a descriptor: a second
// opener that fails must not take it from the first. A port that another
// program took for itself (TIOCEXCL alone, which stops no root) is refused
// before any byte, and its flag is left as it was.
TEST(SerialLink, HoldsThePortExclusivelyAndNeverTakesAnotherOpenersPort) {
  PtyPeer peer;
  const auto exclusive = [&] {
    int on = 0;
    EXPECT_EQ(::ioctl(peer.slave_fd(), TIOCGEXCL, &on), 0);
    return on != 0;
  };
  SerialLink first(peer.slave_path());
  SerialLink second(peer.slave_path());
  first.open();
  EXPECT_EQ(ExpectLinkError([&] { second.open(); }, Sys(EBUSY), peer.slave_path()).trouble(),
            PortTrouble::kBusy);
  EXPECT_TRUE(exclusive()) << "the failed opener ended the first one's exclusive use";
  first.close();
  EXPECT_FALSE(exclusive());
  second.open();
  second.close();

  ASSERT_EQ(::ioctl(peer.slave_fd(), TIOCEXCL), 0);  // another program's
  SerialLink link(peer.slave_path());
  EXPECT_EQ(ExpectLinkError([&] { link.open(); }, Sys(EBUSY), peer.slave_path()).trouble(),
            PortTrouble::kBusy);
  EXPECT_TRUE(exclusive());
  ASSERT_EQ(::ioctl(peer.slave_fd(), TIOCNXCL), 0);
  EXPECT_EQ(peer.Settle(), "");
}

// What the port's own locks cannot stop: a process that took none (cat,
// minicom, a getty), the kernel's console, a UUCP lock file. Each is
// refused before the port is opened; a stale lock file is not. The link's
// own lock file is there while it holds the port, and gone after, also
// after a failure.
TEST(SerialLink, RefusesAPortThatAnotherProcessTheConsoleOrALockFileClaims) {
  PtyPeer peer;
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("qj570-root-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "run/lock");
  fs::create_directories(root / "sys/class/tty/console");
  fs::create_directories(root / "dev");
  fs::create_directory_symlink("/proc", root / "proc");
  std::string name = peer.slave_path().substr(std::string("/dev/").size());
  std::replace(name.begin(), name.end(), '/', '_');
  const fs::path lock = root / "run/lock" / ("LCK.." + name);
  const auto lock_of = [](pid_t pid) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(pid));
    return std::string(text.data());
  };
  SerialLink link(peer.slave_path());
  link.set_system_root(root);
  const auto refused = [&](LinkStep step) {
    const LinkError e = ExpectLinkError([&] { link.open(); }, Sys(EBUSY), peer.slave_path());
    EXPECT_EQ(e.step(), step) << e.what();
    EXPECT_EQ(e.trouble(), PortTrouble::kBusy);
    EXPECT_FALSE(link.is_open());
  };

  // A child holds the pty's slave, as it inherits this process's.
  std::array<int, 2> ready{};
  ASSERT_EQ(::pipe(ready.data()), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    if (::write(ready[1], "x", 1) == 1) {
      ::pause();
    }
    ::_exit(0);
  }
  std::array<char, 1> byte{};
  ASSERT_EQ(::read(ready[0], byte.data(), 1), 1);
  refused(LinkStep::kTake);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);

  std::ofstream(root / "sys/class/tty/console/active") << "tty0 ttyQJ0\n";
  fs::create_symlink(peer.slave_path(), root / "dev/ttyQJ0");
  refused(LinkStep::kTake);
  std::ofstream(root / "sys/class/tty/console/active") << "tty0\n";

  std::ofstream(lock) << lock_of(::getppid());  // alive: whoever started the test
  refused(LinkStep::kLock);
  EXPECT_EQ(std::ifstream(lock).get(), ' ') << "another's lock file was taken away";
  std::ofstream(lock) << lock_of(holder);  // gone
  link.open();
  EXPECT_EQ((std::ostringstream() << std::ifstream(lock).rdbuf()).str(), lock_of(::getpid()));
  link.write("x");
  link.close();
  EXPECT_FALSE(fs::exists(lock));

  PortSettings parity = kPortSettings;  // which no pty takes
  parity.parity = Parity::kEven;
  SerialLink refused_line(peer.slave_path(), parity);
  refused_line.set_system_root(root);
  EXPECT_THROW(refused_line.open(), LinkError);
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_EQ(fs::directory_iterator(root / "run/lock"), fs::directory_iterator());
  EXPECT_EQ(peer.Settle(), "x");
  fs::remove_all(root);
}

// With flow control, a USB adapter's drain may never end while the printer
// holds CTS low. It is given up at the bound, and until it ends the device
// is refused under any name that reaches it.
TEST(SerialLink, GivesUpADrainThatNeverEndsAndRefusesItsDeviceUnderAnyName) {
  const PtyPeer peer;
  // Named for this process: test runs side by side must not share it.
  const std::string link_name = "qj570-printer-link-" + std::to_string(::getpid());
  const auto other_name = std::filesystem::temp_directory_path() / link_name;
  std::filesystem::remove(other_name);
  std::filesystem::create_symlink(peer.slave_path(), other_name);
  PortSettings rts_cts;
  rts_cts.flow_control = FlowControl::kRtsCts;
  SerialLink link(peer.slave_path(), rts_cts);
  link.open();
  link.write("x");
  testing::HeldDrains held;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ExpectLinkError([&] { link.close(); }, LinkErrc::kStalled, peer.slave_path()).step(),
            LinkStep::kDrain);
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            SerialLink::kStallMargin + std::chrono::seconds(2));
  SerialLink other(other_name.string());
  ExpectLinkError([&] { other.open(); }, LinkErrc::kStillLettingGo, other_name.string());
  held.Release();
  for (int i = 0;; ++i) {  // the drain ends: the port is free
    try {
      other.open();
      break;
    } catch (const LinkError& e) {
      ASSERT_TRUE(e.code() == LinkErrc::kStillLettingGo && i < 200) << e.what();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  other.close();
  std::filesystem::remove(other_name);
}

// Flow control is there for printers slower than the line: a write, and the
// drain of a UART's queue, take as long as the printer needs, far beyond the
// line's time and the margin. One that stops fails a margin after its last
// byte, once for the whole job.
TEST(SerialLink, WaitsForASlowPrinterAndGivesUpAMarginAfterAStoppedOnesLastByte) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  PortSettings line;
  line.baud = 115200;
  line.flow_control = FlowControl::kRtsCts;
  const auto line_time_and_margin = [](std::size_t bytes) {  // 10 bits a byte
    return milliseconds(bytes * 10 * 1000 / 115200) + SerialLink::kStallMargin;
  };
  const auto about_a_margin = [](steady_clock::duration since) {
    EXPECT_GT(since, SerialLink::kStallMargin - milliseconds(500));
    EXPECT_LT(since, SerialLink::kStallMargin + std::chrono::seconds(1));
  };
  const std::size_t capacity = testing::PtyCapacity();
  for (const bool stops : {false, true}) {
    PtyPeer peer;
    SerialLink link(peer.slave_path(), line);
    link.open();
    const auto started = steady_clock::now();
    if (!stops) {
      peer.Pace(1024);  // 1 KB a second, after a first read of up to 4 KiB
      const std::string bytes(capacity + std::size_t{16} * 1024, 'B');
      link.write(bytes);
      EXPECT_GT(steady_clock::now() - started, line_time_and_margin(bytes.size()));
      peer.Pace(0);
      link.close();
      EXPECT_EQ(peer.WaitFor(bytes.size()), bytes);
      continue;
    }
    peer.Pace(std::size_t{8} * 1024, std::size_t{4} * 1024);  // stops after 4 KiB
    const LinkError e = ExpectLinkError(
        [&] {
          for (std::size_t sent = 0; sent < capacity * 2; sent += 1024) {
            link.write(std::string(1024, 'A'));
          }
        },
        LinkErrc::kStalled, peer.slave_path());
    EXPECT_THAT(e.what(), ::testing::EndsWith("The device has taken no data for 5 s"));
    // The pty makes room in steps of its buffers: the link may have seen the
    // last room a read before the printer's last one.
    about_a_margin(steady_clock::now() - peer.LastRead());
  }
  // A UART's 4 KiB queue behind a printer taking 700 bytes a second (80 mm
  // of paper) empties in 6 s; the drain gives up a margin after it stops.
  const PtyPeer peer;
  for (const int stops_at : {0, 3600}) {
    SerialLink link(peer.slave_path(), line);
    link.open();
    link.write("x");
    const auto started = steady_clock::now();
    testing::fake_queue = [&] {
      const auto elapsed = std::chrono::duration_cast<milliseconds>(steady_clock::now() - started);
      return std::max(stops_at, 4096 - static_cast<int>(elapsed.count() * 7 / 10));
    };
    if (stops_at == 0) {
      link.close();
      EXPECT_GT(steady_clock::now() - started, line_time_and_margin(4096));
    } else {
      EXPECT_EQ(
          ExpectLinkError([&] { link.close(); }, LinkErrc::kStalled, peer.slave_path()).step(),
          LinkStep::kDrain);
      about_a_margin(steady_clock::now() - started - milliseconds((4096 - stops_at) * 10 / 7));
    }
    testing::fake_queue = nullptr;
  }
}

// The caller's mistakes are the link's own errors, never an errno.
TEST(SerialLink, ReportsStepsOutOfOrder) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  const LinkError e =
      ExpectLinkError([&] { link.write("x"); }, LinkErrc::kNotOpen, peer.slave_path());
  EXPECT_TRUE(e.IsCallersMistake());
  EXPECT_EQ(e.code().category().name(), std::string("serial link"));
  EXPECT_EQ(std::string(e.what()),
            "cannot write to serial port " + peer.slave_path() + ": The port is not open");
  ExpectLinkError([&] { link.close(); }, LinkErrc::kNotOpen, peer.slave_path());
  link.open();
  EXPECT_TRUE(ExpectLinkError([&] { link.open(); }, LinkErrc::kAlreadyOpen, peer.slave_path())
                  .IsCallersMistake());
  EXPECT_TRUE(link.is_open());
  link.close();
  EXPECT_EQ(peer.Settle(), "");
}

// The printer's end goes away after a write: the next write, or else the
// drain, fails at once as a port that is gone, and nothing is left open.
TEST(SerialLink, FarEndVanishingFailsWithoutHangOrLeak) {
  const int before = OpenDescriptorCount();
  constexpr std::string_view kBlankLine =
      "\x1B"
      "LB1\r";
  for (const bool in_drain : {true, false}) {
    PtyPeer peer;
    SerialLink link(peer.slave_path());
    link.open();
    link.write(kBlankLine);
    peer.Vanish();
    const LinkError e = ExpectLinkError(
        [&] {
          if (!in_drain) {
            link.write(kBlankLine);
          }
          link.close();
        },
        Sys(EIO), peer.slave_path());
    EXPECT_EQ(e.step(), in_drain ? LinkStep::kDrain : LinkStep::kWrite);
    EXPECT_EQ(e.trouble(), PortTrouble::kGone);
    // A failed drain still lets the port go, so the next job tries the port
    // again instead of finding it "already open". A failed write leaves it
    // held until its owner lets the link go.
    EXPECT_EQ(link.is_open(), !in_drain);
    if (in_drain) {
      // Its name is gone too: a port that was there earlier in the run.
      EXPECT_EQ(ExpectLinkError([&] { link.open(); }, Sys(ENOENT), peer.slave_path()).trouble(),
                PortTrouble::kGone);
    }
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

// A link that still holds its port after a failed write throws the queued
// bytes away before it lets the port go: a tty's close would wait for them
// up to its closing_wait (30 s).
TEST(SerialLink, LetsAHeldPortGoWithoutWaitingForItsQueue) {
  const testing::DrainRecorder recorder;
  {
    PtyPeer peer;
    SerialLink link(peer.slave_path());
    link.open();
    link.write("x");
    peer.Vanish();
    ExpectLinkError([&] { link.write("y"); }, Sys(EIO), peer.slave_path());
    ASSERT_TRUE(link.is_open());
  }
  ASSERT_EQ(recorder.flushes().size(), 1U);
  EXPECT_TRUE(recorder.flushes()[0].fd_was_open);
}

}  // namespace
}  // namespace qj570
