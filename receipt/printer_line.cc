#include "receipt/printer_line.h"

#include "receipt/cp950.h"

namespace qj570 {

std::string PrinterLine::Encode() const { return EncodeCp950(chars_); }

PrinterLine TextLine(std::u32string_view text) {
  std::u32string chars;
  chars.reserve(text.size() + 5);
  chars += kEsc;
  chars += U"PB1";
  chars += text;
  chars += kCr;
  return PrinterLine(std::move(chars));
}

PrinterLine BlankLine() { return PrinterLine({kEsc, U'L', U'B', U'1', kCr}); }

PrinterLine ClosingLine() { return PrinterLine({kEsc, U'V', U'B', kCr}); }

PrinterLine FormFeedLine() { return PrinterLine({kFf, kCr}); }

}  // namespace qj570
