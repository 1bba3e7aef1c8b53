#include "paper/paper.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "paper/picture.h"
#include "receipt/cp950.h"
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

// Ink in the rows [top, top + height) of a column on a line: its cell by
// default.
bool HasInk(const Picture& picture, int line, int column, int top = 0, int height = kCellHeight) {
  for (int y = CellY(line) + top; y < CellY(line) + top + height; ++y) {
    for (int x = CellX(column); x < CellX(column + 1); ++x) {
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
  for (int y = CellY(line); y < CellY(line) + kCellHeight; ++y) {
    for (int x = CellX(column); x < CellX(column + 2); ++x) {
      pixels.push_back(picture.At(x, y));
    }
  }
  return pixels;
}

TEST(Paper, TheSamplesPictureHasInkInExactlyTheCellsOfItsText) {
  Font font = Font::Find();
  const Picture picture = Draw(ReadStream(Bytes(SampleReceiptLines())), font);
  // Its 23 lines and feeds, then the tear line; the closing command takes none.
  ASSERT_EQ(picture.height, kMargin + 24 * kLinePitch);
  ASSERT_EQ(picture.width, 2 * kMargin + kColumns * kCellWidth);
  int line = 0;
  for (const ReceiptEntry& entry : SampleReceipt()) {
    if (entry.kind != LineKind::kText && entry.kind != LineKind::kBlank) {
      continue;
    }
    // From the text itself: Chinese takes two columns, ASCII one, SO none
    // but its mark above the next character, between the lines.
    std::vector<bool> inked;
    std::vector<bool> marked;
    bool shift_out = false;
    for (const char32_t c : entry.text) {
      if (c == U'\x0E') {
        shift_out = true;
        continue;
      }
      inked.insert(inked.end(), c < 0x80 ? 1 : 2, c != U' ');
      marked.insert(marked.end(), c < 0x80 ? 1 : 2, std::exchange(shift_out, false));
    }
    inked.resize(kColumns, false);
    marked.resize(kColumns, false);
    for (int column = 0; column < kColumns; ++column) {
      const auto at = static_cast<std::size_t>(column);
      EXPECT_EQ(HasInk(picture, line, column), inked[at])
          << "line " << line + 1 << ", column " << column + 1;
      EXPECT_EQ(HasInk(picture, line, column, kCellHeight - kLinePitch, kLinePitch - kCellHeight),
                marked[at])
          << "above line " << line + 1 << ", column " << column + 1;
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
  EXPECT_EQ(picture.At(0, CellY(23) + kLinePitch / 2), 0);
  // The same bytes, the same file.
  EXPECT_EQ(EncodePng(picture), EncodePng(Draw(ReadStream(Bytes(SampleReceiptLines())), font)));
}

TEST(Paper, EveryCharacterStandsWholeInItsCells) {
  Font font = Font::Find();
  // Every ASCII character, bars, brackets and descenders too; Chinese
  // characters, and Big5 symbols that reach past the font's em box.
  std::vector<std::pair<char32_t, int>> characters;
  for (char32_t c = U'!'; c <= U'~'; ++c) {
    characters.emplace_back(c, 1);
  }
  for (const char32_t c : std::u32string(U"總計測試元瓶煙┼║‵")) {
    characters.emplace_back(c, 2);
  }
  for (const auto& [c, columns] : characters) {
    const auto& fitted = font.Fit(c, columns);
    if (!fitted.has_value()) {
      ADD_FAILURE() << "no glyph for " << CodePointName(c);
      continue;
    }
    const auto& glyph = *fitted;
    EXPECT_GT(glyph.image.rows, 0) << CodePointName(c);
    EXPECT_LE(glyph.x + glyph.image.width, columns * kCellWidth) << CodePointName(c);
    EXPECT_LE(glyph.y + glyph.image.rows, kCellHeight) << CodePointName(c);
  }
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

TEST(Paper, WhatCannotBeOnePictureIsSaidAsItIs) {
  // One line more than a picture holds: refused before any pixel is drawn.
  std::string feeds;
  for (int line = 0; line <= kMaxLines; ++line) {
    feeds +=
        "\x1B"
        "LB1\r";
  }
  Font font = Font::Find();
  try {
    Draw(ReadStream(feeds), font);
    FAIL() << "drew " << kMaxLines + 1 << " lines";
  } catch (const PictureError& error) {
    EXPECT_EQ(error.problem(), PictureError::Problem::kTooTall);
    EXPECT_EQ(error.value(), static_cast<std::uint32_t>(kMaxLines + 1));
  }
  // What libpng refuses, in its words: no false "out of memory".
  const Picture tall{1, kMaxHeight + 1, std::vector<std::uint8_t>(kMaxHeight + 1, 255)};
  try {
    (void)EncodePng(tall);
    FAIL() << "libpng took a picture taller than its limit";
  } catch (const PictureError& error) {
    EXPECT_EQ(error.problem(), PictureError::Problem::kUnencodable);
    EXPECT_TRUE(error.name().starts_with("libpng: ")) << error.name();  // "Invalid IHDR data"
    EXPECT_GT(error.name().size(), 9U);
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
  EXPECT_EQ(rows[0].Columns(), 1 + 4 + 0 + 8 + 2);
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
  EXPECT_EQ(Draw(ReadStream(wide), font).height, kMargin + 2 * kLinePitch);
}

}  // namespace
}  // namespace qj570::paper
