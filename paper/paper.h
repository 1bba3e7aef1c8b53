#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The paper as the printer leaves it, read from the bytes it receives: one
// model that the virtual printer's text and the picture both show, so a
// wrong byte looks the same in both.
namespace qj570::paper {

// The printer's line: 32 columns of its 24-dot font.
inline constexpr int kColumns = 32;

// What stands in one or two columns: a character, or one character of a
// byte shown in hexadecimal.
struct Glyph {
  char32_t ch;
  int columns;  // 2 for a double-byte (Big5) character, 0 for SO's mark, else 1

  friend bool operator==(const Glyph&, const Glyph&) = default;
};

// SO, made visible: what this printer does with it is not known. It takes
// no column, so it does not part the characters around it.
inline constexpr char32_t kShiftOutMark = U'\u240E';

// One command the printer carried out, in the order it came.
struct Row {
  enum class Kind : std::uint8_t {
    kPrinted,  // ESC "PB1" text CR: the text's glyphs
    kFeed,     // ESC "LB1" CR: an empty line
    kClosing,  // ESC "VB" CR: takes no paper
    kTear,     // FF CR: the receipt ends; `receipt` counts them from 1
    kUnknown,  // any other command: glyphs show its bytes, CR left out
  };
  Kind kind = Kind::kFeed;
  std::vector<Glyph> glyphs;
  int receipt = 0;

  // How many columns the glyphs take; more than kColumns wraps on paper.
  [[nodiscard]] int Columns() const;
  // The glyphs in UTF-8.
  [[nodiscard]] std::string Text() const;

  friend bool operator==(const Row&, const Row&) = default;
};

// Reads the byte stream command by command; a command ends at CR, so a
// chunk may end anywhere.
class StreamReader {
 public:
  // The rows the bytes completed.
  std::vector<Row> Feed(std::string_view bytes);

 private:
  Row Command(std::string_view command);

  std::string pending_;
  int receipts_ = 0;
};

// The rows of a whole stream, such as one receipt's bytes.
std::vector<Row> ReadStream(std::string_view bytes);

}  // namespace qj570::paper
