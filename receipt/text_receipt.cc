#include "receipt/text_receipt.h"

#include <array>
#include <cstdint>

#include "receipt/cp950.h"
#include "receipt/hex.h"

namespace qj570 {
namespace {

// Where in the input a problem lies: "receipt.txt: line 3, column 7: ".
std::string Where(const std::string& name, std::size_t line, const char* unit,
                  std::size_t position) {
  return name + ": line " + std::to_string(line) + ", " + unit + " " + std::to_string(position) +
         ": ";
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
      throw ReceiptTextError(Where(name, line, "byte", bad + 1) + "not UTF-8 (byte " + "0x" +
                             Hex(static_cast<unsigned char>(bytes[bad])) + ")");
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
      throw ReceiptTextError(Where(name, line, "column", column + 1) + "control character " +
                             CodePointName(c) + " (only SO, U+000E, may stand in a receipt)");
    }
    try {
      (void)EncodeCp950(std::u32string_view(&text[column], 1));
    } catch (const EncodeError& error) {
      throw ReceiptTextError(Where(name, line, "column", column + 1) + error.what());
    }
  }
  return TextLine(text);
}

}  // namespace

std::vector<PrinterLine> ReceiptFromText(std::string_view utf8, const std::string& name) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (utf8.starts_with(kByteOrderMark)) {
    utf8.remove_prefix(kByteOrderMark.size());
  }
  if (utf8.empty()) {
    throw ReceiptTextError(name + ": empty: a receipt needs at least one line");
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
      throw ReceiptTextError(name + ": larger than 64 KiB (" + std::to_string(kMaxReceiptText) +
                             " bytes); a receipt is far shorter");
    }
  }
  if (in.bad()) {
    throw ReceiptTextError("cannot read " + name);
  }
  return text;
}

}  // namespace qj570
