#include "receipt/serial_link.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include "tests/test_support.h"

namespace qj570 {
namespace {

using ::testing::HasSubstr;
using testing::OpenDescriptorCount;
using testing::PtyPeer;

// Runs `step`, which must fail with a LinkError carrying `number` and a
// description that names `device`.
LinkError ExpectLinkError(const std::function<void()>& step, int number,
                          const std::string& device) {
  try {
    step();
  } catch (LinkError& e) {
    EXPECT_EQ(e.number(), number) << e.what();
    EXPECT_THAT(e.what(), HasSubstr(device));
    return std::move(e);
  }
  ADD_FAILURE() << "no LinkError";
  return {0, ""};
}

TEST(SerialLink, AppliesItsSettingsAndReadsThemBack) {
  PtyPeer peer;
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
  EXPECT_THAT(ExpectLinkError([&] { seven.open(); }, EINVAL, peer.slave_path()).what(),
              HasSubstr("the driver did not take 19200 baud, 7 data bits, odd parity, 2 stop "
                        "bits, XON/XOFF flow control."));
  EXPECT_FALSE(seven.is_open());
  // A rate the system does not offer is refused before the port is touched.
  other.baud = 12345;
  SerialLink odd(peer.slave_path(), other);
  const int before = OpenDescriptorCount();
  EXPECT_THAT(ExpectLinkError([&] { odd.open(); }, EINVAL, peer.slave_path()).what(),
              HasSubstr("this system cannot set 12345 baud"));
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialLink, SendsBytesUnalteredInWriteOrderAndDrainsBeforeClosing) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  link.open();
  std::string want;
  for (int i = 0; i < 40; ++i) {  // more than a pty takes in at once
    const PrinterLine line = TextLine(U"\x0E總\x7F 包\t" + std::u32string(100, U'0' + i % 10));
    want += line.Encode();
    link.write(line);
  }
  testing::DrainRecorder drains;
  link.close();  // at once: the drain must keep every queued byte
  // A pty never loses queued bytes, so the drain itself is what is checked:
  // one, on the port, while it was still open.
  ASSERT_EQ(drains.calls().size(), 1U);
  EXPECT_TRUE(drains.calls()[0].fd_was_open);
  EXPECT_EQ(::fcntl(drains.calls()[0].fd, F_GETFD), -1) << "the port was not closed after it";
  EXPECT_EQ(peer.WaitFor(want.size()), want);
  EXPECT_EQ(peer.Settle().size(), want.size());
}

TEST(SerialLink, RefusesWhatIsNotAFreeTerminalBeforeSendingAByteAndSaysWhatToDo) {
  PtyPeer peer;
  const auto plain = std::filesystem::temp_directory_path() / "qj570-plain-file";
  std::ofstream(plain).put('\0');  // not a terminal, and must stay as it is

  const auto refuse = [&](const std::string& device, int number) {
    const int before = OpenDescriptorCount();
    SerialLink link(device);
    LinkError e = ExpectLinkError([&] { link.open(); }, number, device);
    EXPECT_EQ(e.step(), LinkError::Step::kOpen);
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(OpenDescriptorCount(), before) << device;
    return std::string(e.what());
  };
  EXPECT_THAT(refuse("/nonexistent/ttyS9", ENOENT),
              HasSubstr("cannot open serial port /nonexistent/ttyS9: No such file or directory. "
                        "There is no device of that name."));
  EXPECT_THAT(refuse(plain, ENOTTY), HasSubstr("Inappropriate ioctl for device. It is no serial"));
  EXPECT_EQ(std::filesystem::file_size(plain), 1U);
  EXPECT_THAT(refuse("/dev/null", ENOTTY), HasSubstr("--port"));

  // Another program holds the port. root passes TIOCEXCL, not the lock.
  const int other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_THAT(refuse(peer.slave_path(), EWOULDBLOCK),
              HasSubstr("Another program is using the port"));
  ::close(other);
  std::filesystem::remove(plain);
  EXPECT_EQ(peer.Settle(), "");
}

TEST(SerialLink, HoldsThePortExclusivelyUntilClosed) {
  PtyPeer peer;
  SerialLink first(peer.slave_path());
  SerialLink second(peer.slave_path());
  first.open();
  ExpectLinkError([&] { second.open(); }, EWOULDBLOCK, peer.slave_path());
  first.close();
  second.open();
  second.close();
}

TEST(SerialLink, UnencodableLineQueuesNothingOfIt) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  link.open();
  const LinkError e =
      ExpectLinkError([&] { link.write(TextLine(U"ABC\u00F1DEF")); }, EILSEQ, peer.slave_path());
  EXPECT_THAT(e.what(), HasSubstr("U+00F1"));
  EXPECT_EQ(e.step(), LinkError::Step::kUse);
  EXPECT_TRUE(link.is_open());
  link.write(BlankLine());
  link.close();
  EXPECT_EQ(peer.Settle(), BlankLine().Encode());
}

TEST(SerialLink, ReportsStepsOutOfOrder) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  ExpectLinkError([&] { link.write(BlankLine()); }, EBADF, peer.slave_path());
  ExpectLinkError([&] { link.close(); }, EBADF, peer.slave_path());
  link.open();
  ExpectLinkError([&] { link.open(); }, EBUSY, peer.slave_path());
  EXPECT_TRUE(link.is_open());
  link.close();
}

TEST(SerialLink, FailedDrainIsReportedAndStillLetsThePortGo) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  link.open();
  link.write(BlankLine());
  peer.Vanish();  // the drain can no longer finish
  const int held = OpenDescriptorCount();
  ExpectLinkError([&] { link.close(); }, EIO, peer.slave_path());
  EXPECT_FALSE(link.is_open());
  EXPECT_EQ(OpenDescriptorCount(), held - 1);
  // The next job tries the port again instead of finding it "already open".
  ExpectLinkError([&] { link.open(); }, ENOENT, peer.slave_path());
}

TEST(SerialLink, OtherEndVanishingMidJobFailsWithoutHangOrLeak) {
  const int before = OpenDescriptorCount();
  {
    PtyPeer peer;
    SerialLink link(peer.slave_path());
    link.open();
    link.write(BlankLine());
    peer.Vanish();
    const LinkError e = ExpectLinkError(
        [&] {
          link.write(BlankLine());
          link.close();
        },
        EIO, peer.slave_path());
    EXPECT_THAT(e.what(), HasSubstr("The port stopped answering"));
    EXPECT_EQ(e.step(), LinkError::Step::kUse);
  }  // the link lets the port go when it is destroyed
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace qj570
