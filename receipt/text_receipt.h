#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "receipt/printer_line.h"

namespace qj570 {

// Input that cannot become a receipt. what() says where and why in one
// English sentence for logs; the fields let a program say it in its words.
class ReceiptTextError : public std::runtime_error {
 public:
  enum class Problem : std::uint8_t {
    kNotUtf8,     // value: the byte; position: the byte in the line
    kNoCode,      // value: the code point; position: the column
    kControl,     // value: the code point; position: the column
    kEmpty,       // nothing to print
    kTooLarge,    // value: the limit in bytes
    kUnreadable,  // value: the system's error number, or 0 when there is none
  };
  ReceiptTextError(Problem problem, std::string name, std::size_t line = 0,
                   std::size_t position = 0, std::uint32_t value = 0);

  [[nodiscard]] Problem problem() const noexcept { return problem_; }
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  [[nodiscard]] std::size_t line() const noexcept { return line_; }
  [[nodiscard]] std::size_t position() const noexcept { return position_; }
  [[nodiscard]] std::uint32_t value() const noexcept { return value_; }

 private:
  Problem problem_;
  std::string name_;
  std::size_t line_;
  std::size_t position_;
  std::uint32_t value_;
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
