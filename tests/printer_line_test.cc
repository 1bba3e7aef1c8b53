#include "receipt/printer_line.h"

#include <gtest/gtest.h>

#include <string>

#include "receipt/cp950.h"

namespace qj570 {
namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return {bytes.begin(), bytes.end()};
}

TEST(PrinterLine, FixedKindsAreExactly5And4And2Bytes) {
  EXPECT_EQ(BlankLine().Encode(), Bytes({0x1B, 0x4C, 0x42, 0x31, 0x0D}));
  EXPECT_EQ(ClosingLine().Encode(), Bytes({0x1B, 0x56, 0x42, 0x0D}));
  EXPECT_EQ(FormFeedLine().Encode(), Bytes({0x0C, 0x0D}));
}

TEST(PrinterLine, TextLineWrapsItsBig5TextInPrefixAndCr) {
  for (const std::u32string_view text : {U"", U"X", U"統編:12345678", U"大享堡   1份"}) {
    const std::string line = TextLine(text).Encode();
    const std::string body = EncodeCp950(text);
    EXPECT_EQ(line.size(), 5 + body.size());
    EXPECT_EQ(line.substr(0, 4),
              "\x1B"
              "PB1");
    EXPECT_EQ(line.substr(4, body.size()), body);
    EXPECT_EQ(line.back(), '\r');
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(PrinterLine, WorkedExamples) {
  EXPECT_EQ(TextLine(U"測試科技股份有限公司").Encode(),
            Bytes({0x1B, 0x50, 0x42, 0x31, 0xB4, 0xFA, 0xB8, 0xD5, 0xAC, 0xEC, 0xA7, 0xDE, 0xAA,
                   0xD1, 0xA5, 0xF7, 0xA6, 0xB3, 0xAD, 0xAD, 0xA4, 0xBD, 0xA5, 0x71, 0x0D}));
  // SO stays one byte where it stands; 總's trail byte 0x60 is not escaped.
  const std::u32string total = std::u32string{kSo} + U"總" + kSo + U"計          113元";
  EXPECT_EQ(TextLine(total).Encode(),
            Bytes({0x1B, 0x50, 0x42, 0x31, 0x0E, 0xC1, 0x60, 0x0E, 0xAD, 0x70, 0x20, 0x20, 0x20,
                   0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x31, 0x31, 0x33, 0xA4, 0xB8, 0x0D}));
}

TEST(PrinterLine, UnencodableTextFailsWhenEncodedNotWhenBuilt) {
  const PrinterLine line = TextLine(U"caf\u00E9");
  EXPECT_EQ(line.chars().size(), 9U);
  EXPECT_THROW((void)line.Encode(), EncodeError);
}

}  // namespace
}  // namespace qj570
