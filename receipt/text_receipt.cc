#include "receipt/text_receipt.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#include "receipt/cp950.h"
#include "receipt/hex.h"

namespace qj570 {
namespace {

// "receipt.txt: line 3, column 7: U+00E9 has no code in code page 950 (Big5)"
std::string Describe(ReceiptTextError::Problem problem, const std::string& name, std::size_t line,
                     std::size_t position, std::uint32_t value) {
  using Problem = ReceiptTextError::Problem;
  const std::string where = name + ": line " + std::to_string(line) + ", " +
                            (problem == Problem::kNotUtf8 ? "byte " : "column ") +
                            std::to_string(position) + ": ";
  switch (problem) {
    case Problem::kNotUtf8:
      return where + "not UTF-8 (byte 0x" + Hex(value) + ")";
    case Problem::kNoCode:
      return where + EncodeError(value).what();
    case Problem::kControl:
      return where + "control character " + CodePointName(value) +
             " (only SO, U+000E, may stand in a receipt)";
    case Problem::kEmpty:
      return name + ": empty: a receipt needs at least one line";
    case Problem::kTooLarge:
      return name + ": larger than 64 KiB (" + std::to_string(value) +
             " bytes); a receipt is far shorter";
    case Problem::kUnreadable:
      break;
  }
  return "cannot read " + name +
         (value != 0 ? ": " + std::generic_category().message(static_cast<int>(value)) : "");
}

// Decodes one line of strict UTF-8 (no overlong forms, no surrogates, no
// code point above U+10FFFF).
std::u32string DecodeLine(std::string_view bytes, const std::string& name, std::size_t line) {
  std::u32string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
      min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
      min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
      min = 0x10000;
    }
    std::size_t bad = length == 0 ? i : std::string_view::npos;
    for (std::size_t k = 1; bad == std::string_view::npos && k < length; ++k) {
      if (i + k >= bytes.size() || (static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) {
        bad = i + k < bytes.size() ? i + k : i;
      } else {
        c = (c << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
      }
    }
    if (bad == std::string_view::npos &&
        (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
      bad = i;
    }
    if (bad != std::string_view::npos) {
      throw ReceiptTextError(ReceiptTextError::Problem::kNotUtf8, name, line, bad + 1,
                             static_cast<unsigned char>(bytes[bad]));
    }
    out += c;
    i += length;
  }
  return out;
}

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// One line of the text, checked character by character, as a printer line.
PrinterLine PrinterLineOf(std::string_view bytes, const std::string& name, std::size_t line) {
  const std::u32string text = DecodeLine(bytes, name, line);
  if (text.empty()) {
    return BlankLine();
  }
  for (std::size_t column = 0; column < text.size(); ++column) {
    const char32_t c = text[column];
    if (IsControl(c) && c != kSo) {
      throw ReceiptTextError(ReceiptTextError::Problem::kControl, name, line, column + 1, c);
    }
    try {
      (void)EncodeCp950(std::u32string_view(&text[column], 1));
    } catch (const EncodeError&) {
      throw ReceiptTextError(ReceiptTextError::Problem::kNoCode, name, line, column + 1, c);
    }
  }
  return TextLine(text);
}

}  // namespace

ReceiptTextError::ReceiptTextError(Problem problem, std::string name, std::size_t line,
                                   std::size_t position, std::uint32_t value)
    : std::runtime_error(Describe(problem, name, line, position, value)),
      problem_(problem),
      name_(std::move(name)),
      line_(line),
      position_(position),
      value_(value) {}

std::vector<PrinterLine> ReceiptFromText(std::string_view utf8, const std::string& name) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (utf8.starts_with(kByteOrderMark)) {
    utf8.remove_prefix(kByteOrderMark.size());
  }
  if (utf8.empty()) {
    throw ReceiptTextError(ReceiptTextError::Problem::kEmpty, name);
  }
  std::vector<PrinterLine> lines;
  std::size_t number = 1;
  while (!utf8.empty()) {
    const std::size_t end = utf8.find('\n');
    std::string_view line = utf8.substr(0, end);
    if (end != std::string_view::npos && line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.push_back(PrinterLineOf(line, name, number++));
    utf8.remove_prefix(end == std::string_view::npos ? utf8.size() : end + 1);
  }
  lines.push_back(ClosingLine());
  lines.push_back(FormFeedLine());
  return lines;
}

std::string ReadReceiptText(std::istream& in, const std::string& name) {
  std::string text;
  std::array<char, 8192> buffer{};
  while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0) {
    text.append(buffer.data(), static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxReceiptText) {
      throw ReceiptTextError(ReceiptTextError::Problem::kTooLarge, name, 0, 0, kMaxReceiptText);
    }
  }
  if (in.bad()) {
    throw ReceiptTextError(ReceiptTextError::Problem::kUnreadable, name, 0, 0, EIO);
  }
  return text;
}

}  // namespace qj570
