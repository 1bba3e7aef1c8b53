#include "receipt/receipt_job.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "receipt/cp950.h"
#include "receipt/text_receipt.h"
#include "tests/test_support.h"
#include "tools/pty_pair.h"

namespace qj570 {
namespace {

using testing::ExpectedReceipt;
using testing::ExpectedReceiptLines;
using testing::OpenDescriptorCount;
using testing::PtyPeer;

TEST(SampleReceipt, IsTheKnown25LinesOf339Bytes) {
  const auto lines = ExpectedReceiptLines();
  ASSERT_EQ(SampleReceipt().size(), 25U);
  ASSERT_EQ(lines.size(), 25U);
  int texts = 0;
  int blanks = 0;
  std::size_t total = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ReceiptEntry& entry = SampleReceipt()[i];
    EXPECT_EQ(BuildLine(entry).Encode(), lines[i]) << "line " << i + 1;
    texts += entry.kind == LineKind::kText ? 1 : 0;
    blanks += entry.kind == LineKind::kBlank ? 1 : 0;
    total += lines[i].size();
  }
  EXPECT_EQ(texts, 11);
  EXPECT_EQ(blanks, 12);
  EXPECT_EQ(SampleReceipt()[23].kind, LineKind::kClosing);
  EXPECT_EQ(SampleReceipt()[24].kind, LineKind::kFormFeed);
  EXPECT_EQ(total, 339U);
  EXPECT_EQ(ExpectedReceipt().find('\n'), std::string::npos);
  // The four item lines hold 23 bytes of text each, so columns line up.
  for (std::size_t i = 8; i < 12; ++i) {
    EXPECT_EQ(lines[i].size(), 4 + 23 + 1) << "line " << i + 1;
  }
}

TEST(ReceiptJob, TwoRunsSendTwoIdenticalReceiptsAndFreeThePortBetween) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  ReceiptJob job(link);
  job.run();
  EXPECT_EQ(peer.WaitFor(339), ExpectedReceipt());
  EXPECT_FALSE(link.is_open());

  const int other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);

  job.run();
  EXPECT_EQ(peer.WaitFor(678), ExpectedReceipt() + ExpectedReceipt());
  EXPECT_EQ(peer.Settle().size(), 678U);
}

TEST(ReceiptJob, PortThatCannotBeOpenedFailsBeforeAnyByte) {
  PtyPeer peer;
  SerialLink holder(peer.slave_path());
  holder.open();
  SerialLink link(peer.slave_path());
  try {
    ReceiptJob(link).run();
    ADD_FAILURE() << "no LinkError";
  } catch (const LinkError& e) {
    EXPECT_EQ(e.code(), std::error_code(EBUSY, std::system_category()));
  }
  holder.close();
  EXPECT_EQ(peer.Settle(), "");
}

// A character without a code is found while the job is made, so the port
// is never opened and no half receipt reaches the line.
TEST(ReceiptJob, LineThatCannotBeEncodedFailsBeforeThePortIsOpened) {
  PtyPeer peer;
  SerialLink link(peer.slave_path());
  const std::vector<PrinterLine> lines{TextLine(U"ABC"), TextLine(U"ABC\u00F1DEF"), BlankLine()};
  try {
    ReceiptJob(link, lines).run();
    ADD_FAILURE() << "no EncodeError";
  } catch (const EncodeError& e) {
    EXPECT_EQ(e.code_point(), U'\u00F1');
  }
  EXPECT_FALSE(link.is_open());
  EXPECT_EQ(peer.Settle(), "");
}

// A printer that takes no data (off, out of paper): a 64 KiB receipt fills
// the line, and the job fails within the bound instead of waiting forever.
// It sends nothing more, and the port is free for the next job.
TEST(ReceiptJob, PrinterThatTakesNoDataFailsWithinTheBoundAndSendsNoMore) {
  const tools::PtyPair pty;  // nobody reads its master
  const std::string line(kMaxReceiptText / 64 - 1, 'A');
  std::string text;
  for (int i = 0; i < 64; ++i) {
    text += line + "\n";
  }
  const std::vector<PrinterLine> lines = ReceiptFromText(text, "big.txt");
  SerialLink link(pty.slave_path());
  const auto started = std::chrono::steady_clock::now();
  try {
    ReceiptJob(link, lines).run();
    ADD_FAILURE() << "no LinkError";
  } catch (const LinkError& e) {
    EXPECT_EQ(e.code(), LinkErrc::kStalled) << e.what();
    EXPECT_EQ(e.trouble(), PortTrouble::kStalled);
    EXPECT_EQ(e.step(), LinkStep::kWrite);
    EXPECT_THAT(e.what(), ::testing::EndsWith("The device has taken no data for 5 s"));
  }
  // The pty may make a little more room after it filled, without waking the
  // writer; what it then takes starts the margin, once for the whole job.
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, SerialLink::kStallMargin);
  EXPECT_LT(took, SerialLink::kStallMargin + std::chrono::seconds(2));
  EXPECT_FALSE(link.is_open());
  int sent = 0;
  ASSERT_EQ(::ioctl(pty.master(), FIONREAD, &sent), 0);
  EXPECT_GT(sent, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int later = 0;
  ASSERT_EQ(::ioctl(pty.master(), FIONREAD, &later), 0);
  EXPECT_EQ(later, sent);
  // The stalled port is let go on a thread of its own, soon on a pty.
  for (int i = 0;; ++i) {
    try {
      link.open();
      break;
    } catch (const LinkError& e) {
      ASSERT_TRUE(e.code() == LinkErrc::kStillLettingGo && i < 200) << e.what();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  link.close();
}

TEST(ReceiptJob, TenThousandRunsLeaveNoDescriptorBehind) {
  PtyPeer peer;
  const int before = OpenDescriptorCount();
  SerialLink link(peer.slave_path());
  ReceiptJob job(link);
  std::size_t received = 0;
  for (int i = 0; i < 10000; ++i) {
    job.run();
    if (i % 100 == 99) {
      constexpr std::size_t kBatch = std::size_t{339} * 100;
      peer.WaitFor(kBatch);
      const std::string got = peer.Take();
      ASSERT_EQ(got.size(), kBatch) << "after run " << i + 1;
      received += got.size();
    }
  }
  EXPECT_EQ(received, 339U * 10000);
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace qj570
