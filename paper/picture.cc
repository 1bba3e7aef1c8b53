// The grid and the ink on it, the same on every system: where each
// character, SO mark and tear line goes, and how a glyph is fitted into its
// cells. Only the glyphs' rendering (font_*.cc) and the PNG (png_file*.cc)
// are the system's own.
#include "paper/picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>
#include <utility>

#include "receipt/cp950.h"
#include "receipt/serial/link_error.h"

namespace qj570::paper {
namespace {

std::string Describe(PictureError::Problem problem, const std::string& name, std::uint32_t value,
                     int line) {
  switch (problem) {
    case PictureError::Problem::kNoFont:
      return "no font for Traditional Chinese (zh-tw) was found";
    case PictureError::Problem::kBadFont:
      return "the font " + name + " cannot be used (error " + std::to_string(value) + ")";
    case PictureError::Problem::kNoGlyph:
      return "line " + std::to_string(line) + ": the font " + name + " has no glyph for " +
             CodePointName(value);
    case PictureError::Problem::kTooTall:
      return "the receipt takes " + std::to_string(value) + " lines of paper; one picture holds " +
             std::to_string(kMaxLines);
    case PictureError::Problem::kUnencodable:
      return "the PNG cannot be made: " + name;
    case PictureError::Problem::kUnwritable:
      break;
  }
  return "cannot write " + name + ": " + SystemCategory().message(static_cast<int>(value));
}

// A character, or the mark of an SO, at its place on the paper.
struct Placed {
  char32_t ch;
  int columns;
  int line;
  int column;
  int text_line;  // for messages: the printed line or feed it belongs to
};

struct Layout {
  int lines = 0;
  std::vector<Placed> glyphs;  // those that take ink: no spaces
  std::vector<Placed> marks;   // SO: above the character that follows it
  std::vector<int> tears;
};

Layout LayOut(std::span<const Row> rows) {
  Layout layout;
  int& line = layout.lines;
  int text_line = 0;
  for (const Row& row : rows) {
    switch (row.kind) {
      case Row::Kind::kPrinted:
      case Row::Kind::kUnknown: {
        text_line += row.kind == Row::Kind::kPrinted ? 1 : 0;
        int column = 0;
        bool shift_out = false;
        for (const Glyph& glyph : row.glyphs) {
          if (glyph.ch == kShiftOutMark) {
            shift_out = true;
            continue;
          }
          if (column + glyph.columns > kColumns) {
            ++line;
            column = 0;
          }
          const Placed placed{glyph.ch, glyph.columns, line, column, text_line};
          if (std::exchange(shift_out, false)) {
            layout.marks.push_back(placed);
          }
          if (glyph.ch != U' ') {
            layout.glyphs.push_back(placed);
          }
          column += glyph.columns;
        }
        if (shift_out) {  // the line's last: above where the next would stand
          layout.marks.push_back(
              {kShiftOutMark, 1, line, std::min(column, kColumns - 1), text_line});
        }
        ++line;
        break;
      }
      case Row::Kind::kFeed:
        ++text_line;
        ++line;
        break;
      case Row::Kind::kClosing:
        break;
      case Row::Kind::kTear:
        layout.tears.push_back(line++);
        break;
    }
  }
  if (line > kMaxLines) {
    throw PictureError(PictureError::Problem::kTooTall, {}, static_cast<std::uint32_t>(line));
  }
  return layout;
}

// "SO" in letters of 5 x 7 dots, drawn in the blank between the lines: it
// fits there at any font, and looks the same on every system.
constexpr std::array<std::string_view, 7> kShiftOutLetters{
    ".###.  .###.",  //
    "#...#  #...#",  //
    "#....  #...#",  //
    ".###.  #...#",  //
    "....#  #...#",  //
    "#...#  #...#",  //
    ".###.  .###.",  //
};
constexpr int kShiftOutWidth = static_cast<int>(kShiftOutLetters[0].size());

std::uint8_t& PixelAt(Picture& picture, int x, int y) {
  return picture.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                        static_cast<std::size_t>(x)];
}

// The ink of an image with its top left at (x, y), as far as it stays in
// the box of `width` x `height` from (left, top): a glyph's cells.
struct Box {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

void Ink(Picture& picture, const GlyphImage& image, int x, int y, const Box& box) {
  for (int j = std::max(0, box.top - y); j < std::min(image.rows, box.top + box.height - y); ++j) {
    for (int i = std::max(0, box.left - x); i < std::min(image.width, box.left + box.width - x);
         ++i) {
      auto& pixel = PixelAt(picture, x + i, y + j);
      const auto ink = static_cast<std::uint8_t>(
          255 - image.coverage[static_cast<std::size_t>(j) * static_cast<std::size_t>(image.width) +
                               static_cast<std::size_t>(i)]);
      pixel = std::min(pixel, ink);
    }
  }
}

// How far an image reaches above and below the baseline.
struct Reach {
  int up = 0;
  int down = 0;
};

Reach ReachOf(const GlyphImage& image) { return {image.top, image.rows - image.top}; }

}  // namespace

PictureError::PictureError(Problem problem, std::string name, std::uint32_t value, int line)
    : std::runtime_error(Describe(problem, name, value, line)),
      problem_(problem),
      name_(std::move(name)),
      value_(value),
      line_(line) {}

// A printer's half-width font draws every ASCII character whole in its
// 12 x 24 dots. The font is made smaller until its tallest reach (the bar
// and the brackets, the descenders) fits the cell's height, and its
// baseline is put where the deepest descender ends at the cell's foot.
const Font::HalfWidth& Font::HalfWidthFit() {
  if (half_width_) {
    return *half_width_;
  }
  double scale = 1;
  Reach reach;
  for (int attempt = 0; attempt < 4; ++attempt) {
    reach = {};
    for (char32_t ch = U'!'; ch <= U'~'; ++ch) {
      if (const auto image = Render(ch, scale, scale); image && image->rows > 0) {
        reach.up = std::max(reach.up, ReachOf(*image).up);
        reach.down = std::max(reach.down, ReachOf(*image).down);
      }
    }
    if (reach.up + reach.down <= kCellHeight) {
      break;
    }
    scale *= (kCellHeight - 0.5) / (reach.up + reach.down);
  }
  const int baseline =
      std::clamp(baseline_, reach.up, std::max(reach.up, kCellHeight - reach.down));
  half_width_ = HalfWidth{scale, baseline};
  return *half_width_;
}

// A character in its `columns` cells: at its baseline and centred on its
// advance as the font spaces it, made narrower or shorter only when it
// would not fit whole, and moved inside when it would reach out.
const std::optional<Font::Fitted>& Font::Fit(char32_t ch, int columns) {
  const auto known = fitted_.find(ch);
  if (known != fitted_.end()) {
    return known->second;
  }
  const int width = columns * kCellWidth;
  const HalfWidth full{1, baseline_};
  const HalfWidth& size = columns == 1 ? HalfWidthFit() : full;
  double scale_x = size.scale;
  double scale_y = size.scale;
  auto image = Render(ch, scale_x, scale_y);
  for (int attempt = 0; image && attempt < 4; ++attempt) {
    if (image->width <= width && image->rows <= kCellHeight) {
      break;
    }
    scale_x *= image->width > width ? (width - 0.5) / image->width : 1;
    scale_y *= image->rows > kCellHeight ? (kCellHeight - 0.5) / image->rows : 1;
    image = Render(ch, scale_x, scale_y);
  }
  std::optional<Fitted> fitted;
  if (image) {
    const int x = (width - image->advance) / 2 + image->left;
    const int y = size.baseline - image->top;
    fitted = Fitted{*image, std::clamp(x, 0, std::max(0, width - image->width)),
                    std::clamp(y, 0, std::max(0, kCellHeight - image->rows))};
  }
  return fitted_.emplace(ch, std::move(fitted)).first->second;
}

Picture Draw(std::span<const Row> rows, Font& font) {
  const Layout layout = LayOut(rows);
  Picture picture{2 * kMargin + kColumns * kCellWidth, kMargin + layout.lines * kLinePitch, {}};
  picture.pixels.assign(
      static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height), 255);
  for (const Placed& p : layout.glyphs) {
    const auto& fitted = font.Fit(p.ch, p.columns);
    if (!fitted) {
      throw PictureError(PictureError::Problem::kNoGlyph, font.family(), p.ch, p.text_line);
    }
    // A glyph that would not shrink enough keeps to its cells all the same.
    const Box cells{CellX(p.column), CellY(p.line), p.columns * kCellWidth, kCellHeight};
    Ink(picture, fitted->image, cells.left + fitted->x, cells.top + fitted->y, cells);
  }
  // Centred over the character, a dot clear of its top: the blank between
  // the lines holds the letters with a dot or two to spare.
  for (const Placed& p : layout.marks) {
    const int x = CellX(p.column) + (p.columns * kCellWidth - kShiftOutWidth) / 2;
    const int y = CellY(p.line) - 1 - static_cast<int>(kShiftOutLetters.size());
    for (std::size_t j = 0; j < kShiftOutLetters.size(); ++j) {
      for (int i = 0; i < kShiftOutWidth; ++i) {
        if (kShiftOutLetters[j][static_cast<std::size_t>(i)] == '#') {
          PixelAt(picture, x + i, y + static_cast<int>(j)) = 0;
        }
      }
    }
  }
  // The tear line: a dashed cut across the paper, in its line's middle.
  for (const int tear : layout.tears) {
    for (int x = 0; x < picture.width; ++x) {
      if (x % 8 < 5) {
        PixelAt(picture, x, CellY(tear) + kLinePitch / 2) = 0;
      }
    }
  }
  return picture;
}

}  // namespace qj570::paper
