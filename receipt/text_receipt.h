#pragma once

#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "receipt/printer_line.h"

namespace qj570 {

// Input that cannot become a receipt; what() says where and why.
class ReceiptTextError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxReceiptText = std::size_t{64} * 1024;

// A receipt written as UTF-8 text, in the framing of the sample: a line
// with text prints it (TextLine), an empty line feeds one (BlankLine), and
// ClosingLine and FormFeedLine follow the last. LF or CRLF ends a line; a
// byte order mark is skipped. An empty text is refused: it would feed a
// blank slip. SO passes through; any other control
// character, invalid UTF-8 or a character that code page 950 lacks is
// refused, naming `name`, the line and the column. Every line is known to
// encode when this returns.
std::vector<PrinterLine> ReceiptFromText(std::string_view utf8, const std::string& name);

// All of `in`, refused when it is over kMaxReceiptText bytes.
std::string ReadReceiptText(std::istream& in, const std::string& name);

}  // namespace qj570
