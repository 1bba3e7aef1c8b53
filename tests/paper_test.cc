#include "paper/paper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "paper/picture.h"
#include "receipt/receipt_job.h"
#include "receipt/text_receipt.h"

namespace qj570::paper {
namespace {

std::string Bytes(const std::vector<PrinterLine>& lines) {
  std::string bytes;
  for (const PrinterLine& line : lines) {
    bytes += line.Encode();
  }
  return bytes;
}

bool HasInk(const Picture& picture, int line, int column) {
  for (int y = kMargin + line * kCellHeight; y < kMargin + (line + 1) * kCellHeight; ++y) {
    for (int x = kMargin + column * kCellWidth; x < kMargin + (column + 1) * kCellWidth; ++x) {
      if (picture.At(x, y) != 255) {
        return true;
      }
    }
  }
  return false;
}

// The pixels of a character two columns wide.
std::vector<std::uint8_t> Cells(const Picture& picture, int line, int column) {
  std::vector<std::uint8_t> pixels;
  for (int y = kMargin + line * kCellHeight; y < kMargin + (line + 1) * kCellHeight; ++y) {
    for (int x = kMargin + column * kCellWidth; x < kMargin + (column + 2) * kCellWidth; ++x) {
      pixels.push_back(picture.At(x, y));
    }
  }
  return pixels;
}

TEST(Paper, TheSamplesPictureHasInkInExactlyTheCellsOfItsText) {
  Font font = Font::Find();
  const Picture picture = Draw(ReadStream(Bytes(SampleReceiptLines())), font);
  // Its 23 lines and feeds, then the tear line; the closing command takes none.
  ASSERT_EQ(picture.height, kMargin + 24 * kCellHeight);
  ASSERT_EQ(picture.width, 2 * kMargin + kColumns * kCellWidth);
  int line = 0;
  for (const ReceiptEntry& entry : SampleReceipt()) {
    if (entry.kind != LineKind::kText && entry.kind != LineKind::kBlank) {
      continue;
    }
    // From the text itself: Chinese takes two columns, ASCII and SO one.
    std::vector<bool> inked;
    for (const char32_t c : entry.text) {
      inked.insert(inked.end(), c < 0x80 ? 1 : 2, c != U' ');
    }
    inked.resize(kColumns, false);
    for (int column = 0; column < kColumns; ++column) {
      EXPECT_EQ(HasInk(picture, line, column), inked[static_cast<std::size_t>(column)])
          << "line " << line + 1 << ", column " << column + 1;
    }
    ++line;
  }
  // The item lines, 9 to 12: every 元 the same pixels in the same columns.
  const auto yuan = Cells(picture, 8, 15);
  for (int item = 8; item < 12; ++item) {
    for (const int column : {15, 20}) {
      EXPECT_EQ(Cells(picture, item, column), yuan) << "line " << item + 1;
    }
  }
  // The tear line runs across the last line's middle.
  EXPECT_EQ(picture.At(0, kMargin + 23 * kCellHeight + kCellHeight / 2), 0);
  // The same bytes, the same file.
  EXPECT_EQ(EncodePng(picture), EncodePng(Draw(ReadStream(Bytes(SampleReceiptLines())), font)));
}

TEST(Paper, ACharacterTheFontLacksStopsThePictureNamingIt) {
  Font font = Font::Find();
  // U+E000 is Big5's first user-defined character: no font draws it.
  const auto rows = ReadStream(Bytes(ReceiptFromText("總計\n\n\xEE\x80\x80 1\n", "r.txt")));
  try {
    Draw(rows, font);
    FAIL() << "drew a character the font lacks";
  } catch (const PictureError& error) {
    EXPECT_EQ(error.problem(), PictureError::Problem::kNoGlyph);
    EXPECT_EQ(error.value(), 0xE000U);
    EXPECT_EQ(error.line(), 3);
    EXPECT_EQ(error.name(), font.family());
  }
}

TEST(Paper, BytesThatAreNoTextOrCommandAreShownAsTheyCame) {
  const std::string stream =
      "\x1B"
      "PB1A\x01\x0E\xFF\x30\xA4\x40\r\x1BXY\r\x0C\r";
  std::vector<Row> rows;
  StreamReader reader;
  for (const char b : stream) {  // a command may arrive in pieces
    for (auto& row : reader.Feed(std::string(1, b))) {
      rows.push_back(std::move(row));
    }
  }
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[0].Text(), "A<01>\u240E<FF><30>\u4E00");
  EXPECT_EQ(rows[0].Columns(), 1 + 4 + 1 + 8 + 2);
  EXPECT_EQ(rows[1].kind, Row::Kind::kUnknown);
  EXPECT_EQ(rows[1].Text(), "<1B><58><59>");
  EXPECT_EQ(rows[2].kind, Row::Kind::kTear);
  EXPECT_EQ(rows, ReadStream(stream));
  // Past 32 columns the text goes on in the next line.
  Font font = Font::Find();
  const std::string wide =
      "\x1B"
      "PB1" +
      std::string(33, 'x') + "\r";
  EXPECT_EQ(Draw(ReadStream(wide), font).height, kMargin + 2 * kCellHeight);
}

}  // namespace
}  // namespace qj570::paper
