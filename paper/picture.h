#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "paper/paper.h"

// The paper drawn as the printer's 24-dot font would print it: one cell of
// 12 x 24 pixels a column, a double-byte character in two, 32 columns
// (384 dots, a 58 mm printer's line). The same rows always give the same
// pixels, and the PNG holds no time: the same bytes, the same file.
namespace qj570::paper {

inline constexpr int kCellWidth = 12;
inline constexpr int kCellHeight = 24;
// Blank paper left, right and above the first line.
inline constexpr int kMargin = 12;

// What stops a picture. what() says it in one English sentence for logs;
// the fields let a program say it in its words.
class PictureError : public std::runtime_error {
 public:
  enum class Problem : std::uint8_t {
    kNoFont,      // fontconfig offers no font for Traditional Chinese
    kBadFont,     // FreeType cannot use `name` (a font file); value: its error
    kNoGlyph,     // the font `name` lacks value (a code point), on paper line `line`
    kUnwritable,  // `name` (a file) cannot be written; value: the system's error number
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

// The font the paper is drawn in, loaded by FreeType.
class Font {
 public:
  // "Noto Sans Mono CJK TC" when there is one (its half-width Latin is half
  // its CJK advance, as on the printer's grid), else the font fontconfig
  // offers for Traditional Chinese (zh-tw). Throws PictureError.
  static Font Find();
  // A font file (a collection's face `index`). Throws PictureError.
  Font(const std::string& file, int index);
  Font(Font&&) noexcept;
  Font& operator=(Font&&) noexcept;
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  ~Font();

  // Its family, as messages name it.
  [[nodiscard]] const std::string& family() const noexcept;

 private:
  struct Face;
  std::unique_ptr<Face> face_;
  friend Picture Draw(std::span<const Row> rows, Font& font);
};

// The rows on paper: printed lines and feeds take a line each (text past
// 32 columns goes on in the next), the closing command none, and a form
// feed a tear line across. Throws PictureError (kNoGlyph) for a character
// the font lacks, rather than draw a box or a blank in its place.
Picture Draw(std::span<const Row> rows, Font& font);

// The picture as a PNG file.
std::string EncodePng(const Picture& picture);

// Writes the PNG to a temporary file beside `path`, then renames it, so
// `path` is either whole or as it was. Throws PictureError (kUnwritable).
void WritePng(const Picture& picture, const std::string& path);

}  // namespace qj570::paper
