#include "app/visible_text.h"

#include <array>
#include <cstdio>

namespace qj570::app {
namespace {

// The length of the UTF-8 sequence at the start of `text` and its code
// point, or 0 where it is no well-formed sequence (a stray byte, an
// overlong form, a surrogate, beyond U+10FFFF, cut short).
std::size_t Decode(std::string_view text, char32_t& c) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0FU;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07U;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
    c = (c << 6U) | (byte(i) & 0x3FU);
  }
  return length;
}

// Characters a terminal or the box acts on instead of showing them.
bool ActsOnText(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string VisibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    char32_t c = 0;
    const std::size_t length = Decode(text, c);
    if (length != 0 && !ActsOnText(c)) {
      out.append(text.substr(0, length));
    } else {
      std::array<char, 8> escape{};
      if (length == 0) {
        std::snprintf(escape.data(), escape.size(), "\\x%02x",
                      static_cast<unsigned>(static_cast<unsigned char>(text[0])));
      } else {
        std::snprintf(escape.data(), escape.size(), c < 0x80 ? "\\x%02x" : "\\u%04x",
                      static_cast<unsigned>(c));
      }
      out += escape.data();
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out;
}

}  // namespace qj570::app
