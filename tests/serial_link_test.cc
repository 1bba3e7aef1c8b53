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
    EXPECT_THAT(e.description(), HasSubstr(device));
    return std::move(e);
  }
  ADD_FAILURE() << "no LinkError";
  return {0, ""};
}

TEST(SerialLink, AppliesRaw8N1At9600WithoutFlowControl) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  link.open();
  termios tio{};
  ASSERT_EQ(::tcgetattr(peer.slave_fd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
  EXPECT_EQ(tio.c_oflag & OPOST, 0U);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0U);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
  const int flags = ::fcntl(peer.slave_fd(), F_GETFL);
  EXPECT_TRUE(link.is_open());
  link.close();
  EXPECT_FALSE(link.is_open());
  EXPECT_EQ(::fcntl(peer.slave_fd(), F_GETFL), flags);
}

TEST(SerialLink, SendsBytesUnalteredInWriteOrderAndCloseLosesNone) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  link.open();
  std::string want;
  for (int i = 0; i < 40; ++i) {  // more than a pty takes in at once
    const PrinterLine line = TextLine(U"\x0E總\x7F 包\t" + std::u32string(100, U'0' + i % 10));
    want += line.Encode();
    link.write(line);
  }
  link.close();  // at once: the drain must keep every queued byte
  EXPECT_EQ(peer.WaitFor(want.size()), want);
  EXPECT_EQ(peer.Settle().size(), want.size());
}

TEST(SerialLink, RefusesWhatIsNotAFreeTerminalBeforeSendingAByte) {
  PtyPeer peer;
  const auto plain = std::filesystem::temp_directory_path() / "qj570-plain-file";
  std::ofstream(plain).put('\0');  // not a terminal, and must stay as it is

  const auto refuse = [&](const std::string& device, int number) {
    const int before = OpenDescriptorCount();
    SerialLink link(device);
    LinkError e = ExpectLinkError([&] { link.open(); }, number, device);
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(OpenDescriptorCount(), before) << device;
    return e;
  };
  EXPECT_THAT(refuse("/nonexistent/ttyS9", ENOENT).description(),
              HasSubstr("cannot open serial port /nonexistent/ttyS9: No such file"));
  EXPECT_THAT(refuse(plain, ENOTTY).description(), HasSubstr("not a terminal"));
  EXPECT_EQ(std::filesystem::file_size(plain), 1U);
  refuse("/dev/null", ENOTTY);

  // Another program holds the port. root passes TIOCEXCL, not the lock.
  const int other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_THAT(refuse(peer.slave_path(), EWOULDBLOCK).description(),
              HasSubstr("another program is using it"));
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
  EXPECT_THAT(e.description(), HasSubstr("U+00F1"));
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
    EXPECT_THAT(e.description(), HasSubstr("serial port"));
  }  // the link lets the port go when it is destroyed
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace qj570
