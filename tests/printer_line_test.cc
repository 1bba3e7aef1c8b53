#include "receipt/printer_line.h"

#include <gtest/gtest.h>

#include <string>

#include "receipt/cp950.h"

namespace qj570 {
namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return {bytes.begin(), bytes.end()};
}

TEST(PrinterLine, EachKindsBytes) {
  EXPECT_EQ(BlankLine().Encode(), Bytes({0x1B, 0x4C, 0x42, 0x31, 0x0D}));
  EXPECT_EQ(ClosingLine().Encode(), Bytes({0x1B, 0x56, 0x42, 0x0D}));
  EXPECT_EQ(FormFeedLine().Encode(), Bytes({0x0C, 0x0D}));
  EXPECT_EQ(TextLine(U"").Encode(), Bytes({0x1B, 0x50, 0x42, 0x31, 0x0D}));
  // "包" has the trail byte 0x5D, "司" 0x71: ASCII look-alikes kept as they are.
  EXPECT_EQ(TextLine(U"1包 司").Encode(),
            Bytes({0x1B, 0x50, 0x42, 0x31, 0x31, 0xA5, 0x5D, 0x20, 0xA5, 0x71, 0x0D}));
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
  // A line is built from any text; one that cannot be encoded fails then.
  EXPECT_THROW((void)TextLine(U"caf\u00E9").Encode(), EncodeError);
}

}  // namespace
}  // namespace qj570
