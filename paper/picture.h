#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "paper/paper.h"

// The paper drawn as the printer's 24-dot font would print it: a cell of
// 12 x 24 dots a column, a double-byte character in two, 32 columns (384
// dots, a 58 mm printer's line), one pixel a dot. The grid is the same on
// every system; only the glyphs come from the system's own font engine
// (FreeType on Linux, GDI on Windows) and the PNG from its own encoder
// (libpng, WIC). The same rows always give the same pixels, and the PNG
// holds no time: the same bytes, the same file.
namespace qj570::paper {

inline constexpr int kCellWidth = 12;
inline constexpr int kCellHeight = 24;
// The paper fed for each line: 1/6 inch, the line spacing most receipt
// printers start with (34 dots at 203 dpi, 8 dots a millimetre), so lines
// stand 10 dots apart, as on the paper, not touching as the font's 24 would.
inline constexpr int kLinePitch = 34;
// Blank paper left, right and above the first line.
inline constexpr int kMargin = 12;
// The tallest picture: libpng writes none taller, and viewers built on it
// read none taller.
inline constexpr int kMaxHeight = 1'000'000;
// So the most lines one picture holds.
inline constexpr int kMaxLines = (kMaxHeight - kMargin) / kLinePitch;

// The top left pixel of a column's cell on a line of the paper.
[[nodiscard]] constexpr int CellX(int column) { return kMargin + column * kCellWidth; }
[[nodiscard]] constexpr int CellY(int line) { return kMargin + line * kLinePitch; }

// What stops a picture. what() says it in one English sentence for logs;
// the fields let a program say it in its words.
class PictureError : public std::runtime_error {
 public:
  enum class Problem : std::uint8_t {
    kNoFont,       // the system offers no font for Traditional Chinese
    kBadFont,      // the font engine cannot use `name` (a font); value: its error
    kNoGlyph,      // the font `name` lacks value (a code point), on paper line `line`
    kTooTall,      // the receipt takes value lines of paper, more than kMaxLines
    kUnencodable,  // the PNG encoder refused; `name`: its own words
    kUnwritable,   // `name` (a file) cannot be written; value: the system's error number
  };
  PictureError(Problem problem, std::string name, std::uint32_t value = 0, int line = 0);

  [[nodiscard]] Problem problem() const noexcept { return problem_; }
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  [[nodiscard]] std::uint32_t value() const noexcept { return value_; }
  [[nodiscard]] int line() const noexcept { return line_; }

 private:
  Problem problem_;
  std::string name_;
  std::uint32_t value_;
  int line_;
};

// Grey, 8 bits a pixel, row after row: 255 is paper, 0 full ink.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  [[nodiscard]] std::uint8_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
};

// One glyph as the font engine renders it: coverage 0..255 row after row;
// `left` and `top` from the pen on the baseline, `advance` the pen's step.
struct GlyphImage {
  int width = 0;
  int rows = 0;
  int left = 0;
  int top = 0;
  int advance = 0;
  std::vector<std::uint8_t> coverage;
};

// The font the paper is drawn in, from the system's font engine, with the
// glyphs it has fitted into the printer's cells.
class Font {
 public:
  // Linux: "Noto Sans Mono CJK TC" when there is one (its half-width Latin
  // is half its CJK advance, as on the printer's grid), else the font
  // fontconfig offers for Traditional Chinese (zh-tw). Windows: the first
  // Traditional Chinese font with Taiwan's forms that it has. Throws
  // PictureError.
  static Font Find();
  Font(Font&&) noexcept;
  Font& operator=(Font&&) noexcept;
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  ~Font();

  // Its family, as messages name it.
  [[nodiscard]] const std::string& family() const noexcept { return family_; }
  // `ch` with its em square `scale_x` and `scale_y` times the cell's
  // height; none when the font has no glyph for it.
  [[nodiscard]] std::optional<GlyphImage> Render(char32_t ch, double scale_x, double scale_y) const;

  // A character as it stands in its cells.
  struct Fitted {
    GlyphImage image;
    int x = 0;  // its top left, from its cells' top left
    int y = 0;
  };
  // `ch` fitted whole into `columns` cells, as a printer's font draws it:
  // a full-width character with its em square filling 24 x 24 dots, every
  // half-width one inside 12 x 24. Fitted once; none when the font lacks it.
  const std::optional<Fitted>& Fit(char32_t ch, int columns);

 private:
  struct Face;  // the font engine's
  struct HalfWidth {
    double scale = 1;
    int baseline = 0;
  };
  Font(std::unique_ptr<Face> face, std::string family, int baseline);
  // The size and baseline at which every ASCII character fits a 12 x 24 cell.
  const HalfWidth& HalfWidthFit();

  std::unique_ptr<Face> face_;
  std::string family_;
  // From a cell's top to the baseline when the em square fills the cell's
  // height: where the font's ideographic em box ends.
  int baseline_ = 0;
  std::optional<HalfWidth> half_width_;
  std::unordered_map<char32_t, std::optional<Fitted>> fitted_;
};

// The rows on paper: printed lines and feeds take a line each (text past
// 32 columns goes on in the next), the closing command none, and a form
// feed a tear line across. SO takes no column: a small "SO" stands above
// the character after it, between the lines. Throws PictureError: kTooTall
// before drawing anything when the rows take more than kMaxLines, kNoGlyph
// for a character the font lacks rather than draw a box or a blank.
Picture Draw(std::span<const Row> rows, Font& font);

// The picture as a PNG file. Throws PictureError (kUnencodable).
std::string EncodePng(const Picture& picture);

// Writes the PNG to a temporary file beside `path`, then renames it, so
// `path` is either whole or as it was. Throws PictureError (kUnencodable,
// kUnwritable).
void WritePng(const Picture& picture, const std::string& path);

}  // namespace qj570::paper
