#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace qj570 {

// One unit of the printer's command stream: a command prefix, an optional
// text and CR. It stays characters until the link sends it; CR alone ends a
// line and the stream never holds a line feed.
class PrinterLine {
 public:
  [[nodiscard]] const std::u32string& chars() const noexcept { return chars_; }
  // The bytes on the wire, prefix and terminator included (code page 950).
  [[nodiscard]] std::string Encode() const;

  friend bool operator==(const PrinterLine&, const PrinterLine&) = default;

 private:
  explicit PrinterLine(std::u32string chars) : chars_(std::move(chars)) {}
  friend PrinterLine TextLine(std::u32string_view text);
  friend PrinterLine BlankLine();
  friend PrinterLine ClosingLine();
  friend PrinterLine FormFeedLine();

  std::u32string chars_;
};

inline constexpr char32_t kEsc = U'\x1B';
inline constexpr char32_t kCr = U'\x0D';
inline constexpr char32_t kFf = U'\x0C';
// Shift Out; sent as the single byte 0x0E wherever it stands in a text.
inline constexpr char32_t kSo = U'\x0E';

// ESC "PB1" text CR: prints the text, which may hold SO.
PrinterLine TextLine(std::u32string_view text);
// ESC "LB1" CR: feeds one empty line.
PrinterLine BlankLine();
// ESC "VB" CR: the printer's closing command.
PrinterLine ClosingLine();
// FF CR: ends the form.
PrinterLine FormFeedLine();

}  // namespace qj570
