#include "paper/paper.h"

#include <unordered_map>

#include "receipt/cp950.h"
#include "receipt/hex.h"

namespace qj570::paper {
namespace {

// Big5 two-byte codes back to characters, from our own code page 950 table.
const std::unordered_map<std::uint16_t, char32_t>& Big5Decoder() {
  static const auto decoder = [] {
    std::unordered_map<std::uint16_t, char32_t> map;
    for (const auto& entry : detail::Cp950Entries()) {
      if (entry.code > 0xFF) {
        map.emplace(entry.code, entry.code_point);
      }
    }
    return map;
  }();
  return decoder;
}

// A byte the printer does not print, made visible: "<1B>".
void AppendShown(std::vector<Glyph>& glyphs, unsigned char byte) {
  glyphs.push_back({U'<', 1});
  for (const char digit : Hex(byte)) {
    glyphs.push_back({static_cast<char32_t>(digit), 1});
  }
  glyphs.push_back({U'>', 1});
}

// The text of ESC "PB1": printable ASCII in one column, Big5 in two, SO
// marked in none, anything else shown as its bytes.
std::vector<Glyph> TextGlyphs(std::string_view big5) {
  std::vector<Glyph> glyphs;
  for (std::size_t i = 0; i < big5.size(); ++i) {
    const auto b = static_cast<unsigned char>(big5[i]);
    if (b == 0x0E) {
      glyphs.push_back({kShiftOutMark, 0});
    } else if (b >= 0x20 && b < 0x7F) {
      glyphs.push_back({b, 1});
    } else if (b >= 0x81 && i + 1 < big5.size()) {
      const auto trail = static_cast<unsigned char>(big5[++i]);
      const auto it = Big5Decoder().find(static_cast<std::uint16_t>(b << 8 | trail));
      if (it != Big5Decoder().end()) {
        glyphs.push_back({it->second, 2});
      } else {
        AppendShown(glyphs, b);
        AppendShown(glyphs, trail);
      }
    } else {
      AppendShown(glyphs, b);
    }
  }
  return glyphs;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

int Row::Columns() const {
  int columns = 0;
  for (const Glyph& glyph : glyphs) {
    columns += glyph.columns;
  }
  return columns;
}

std::string Row::Text() const {
  std::string text;
  for (const Glyph& glyph : glyphs) {
    AppendUtf8(text, glyph.ch);
  }
  return text;
}

std::vector<Row> StreamReader::Feed(std::string_view bytes) {
  std::vector<Row> rows;
  for (const char b : bytes) {
    if (b != '\r') {
      pending_ += b;
      continue;
    }
    rows.push_back(Command(pending_));
    pending_.clear();
  }
  return rows;
}

Row StreamReader::Command(std::string_view command) {
  if (command.starts_with("\x1B"
                          "PB1")) {
    return {Row::Kind::kPrinted, TextGlyphs(command.substr(4))};
  }
  if (command ==
      "\x1B"
      "LB1") {
    return {Row::Kind::kFeed, {}};
  }
  if (command ==
      "\x1B"
      "VB") {
    return {Row::Kind::kClosing, {}};
  }
  if (command == "\x0C") {
    return {Row::Kind::kTear, {}, ++receipts_};
  }
  Row unknown{Row::Kind::kUnknown, {}};
  for (const char b : command) {
    AppendShown(unknown.glyphs, static_cast<unsigned char>(b));
  }
  return unknown;
}

std::vector<Row> ReadStream(std::string_view bytes) { return StreamReader().Feed(bytes); }

}  // namespace qj570::paper
