#include "receipt/cp950.h"

#include <algorithm>

#include "receipt/hex.h"

namespace qj570 {

EncodeError::EncodeError(char32_t code_point)
    : std::invalid_argument(CodePointName(code_point) + " has no code in code page 950 (Big5)"),
      code_point_(code_point) {}

std::string CodePointName(char32_t code_point) { return "U+" + Hex(code_point, 4); }

std::string EncodeCp950(std::u32string_view text) {
  const auto entries = detail::Cp950Entries();
  std::string out;
  out.reserve(text.size() * 2);
  for (const char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const auto it =
        std::lower_bound(entries.begin(), entries.end(), c,
                         [](const detail::Cp950Entry& e, char32_t v) { return e.code_point < v; });
    if (c > 0xFFFF || it == entries.end() || it->code_point != c) {
      throw EncodeError(c);
    }
    if (it->code > 0xFF) {
      out.push_back(static_cast<char>(it->code >> 8));
    }
    out.push_back(static_cast<char>(it->code & 0xFF));
  }
  return out;
}

}  // namespace qj570
