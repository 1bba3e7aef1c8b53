#include "receipt/text_receipt.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace qj570 {
namespace {

using ::testing::StartsWith;

std::string SampleText() {
  std::ifstream file(QJ570_SOURCE_DIR "/tests/data/sample_receipt.txt", std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::string Bytes(const std::vector<PrinterLine>& lines) {
  std::string bytes;
  for (const PrinterLine& line : lines) {
    bytes += line.Encode();
  }
  return bytes;
}

// The message for `text`, which must be refused.
std::string Refusal(std::string_view text) {
  try {
    (void)ReceiptFromText(text, "r.txt");
  } catch (const ReceiptTextError& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(TextReceipt, TheSampleWrittenAsTextIsTheButtonsReceipt) {
  const std::string text = SampleText();
  EXPECT_EQ(Bytes(ReceiptFromText(text, "sample")), testing::ExpectedReceipt());
  // The same with a byte order mark and CRLF line ends, and with no final
  // line end.
  std::string crlf = "\xEF\xBB\xBF";
  for (const char c : text) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  EXPECT_EQ(Bytes(ReceiptFromText(crlf, "sample")), testing::ExpectedReceipt());
  EXPECT_EQ(Bytes(ReceiptFromText(text.substr(0, text.size() - 1), "sample")),
            testing::ExpectedReceipt());
  EXPECT_EQ(Bytes(ReceiptFromText("\n\nA", "blank")), "\x1BLB1\r\x1BLB1\r\x1BPB1A\r\x1BVB\r\f\r");
}

TEST(TextReceipt, RefusesBadInputSayingWhereAndWhy) {
  // An empty file would feed a blank slip: almost always a mistake.
  EXPECT_EQ(Refusal(""), "r.txt: empty: a receipt needs at least one line");
  EXPECT_EQ(Refusal("\xEF\xBB\xBF"), "r.txt: empty: a receipt needs at least one line");
  EXPECT_EQ(Refusal("ok\nab\xFF"), "r.txt: line 2, byte 3: not UTF-8 (byte 0xFF)");
  EXPECT_EQ(Refusal("\xE7\xB8"), "r.txt: line 1, byte 1: not UTF-8 (byte 0xE7)");  // cut short
  EXPECT_EQ(Refusal("a\xE7(\x8F"), "r.txt: line 1, byte 3: not UTF-8 (byte 0x28)");
  EXPECT_EQ(Refusal("\xC0\xAF"), "r.txt: line 1, byte 1: not UTF-8 (byte 0xC0)");      // overlong
  EXPECT_EQ(Refusal("\xED\xA0\x80"), "r.txt: line 1, byte 1: not UTF-8 (byte 0xED)");  // surrogate
  EXPECT_EQ(Refusal("x\n\xE7\xB8\xBD\xC3\xB1"),
            "r.txt: line 2, column 2: U+00F1 has no code in code page 950 (Big5)");
  EXPECT_EQ(Refusal("\xF0\x9F\x98\x80"),
            "r.txt: line 1, column 1: U+1F600 has no code in code page 950 (Big5)");
  EXPECT_EQ(Refusal("a\tb"),
            "r.txt: line 1, column 2: control character U+0009 (only SO, U+000E, may stand in a "
            "receipt)");
  EXPECT_THAT(Refusal("a\rb\n"), StartsWith("r.txt: line 1, column 2: control character U+000D"));
  EXPECT_THAT(Refusal("\x1B"
                      "PB1"),
              StartsWith("r.txt: line 1, column 1: control character U+001B"));
  EXPECT_THAT(Refusal("\xC2\x85"), StartsWith("r.txt: line 1, column 1: control character U+0085"));
}

TEST(TextReceipt, ReadsUpTo64KiB) {
  std::istringstream fits(std::string(kMaxReceiptText, 'A'));
  EXPECT_EQ(ReadReceiptText(fits, "fits").size(), kMaxReceiptText);
  std::istringstream over(std::string(kMaxReceiptText + 1, 'A'));
  try {
    (void)ReadReceiptText(over, "big.txt");
    ADD_FAILURE() << "accepted";
  } catch (const ReceiptTextError& error) {
    EXPECT_THAT(error.what(), StartsWith("big.txt: larger than 64 KiB"));
  }
}

}  // namespace
}  // namespace qj570
