#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qj570 {

// A character that code page 950 cannot represent. The whole text is
// rejected, so a caller never sends half a line.
class EncodeError : public std::invalid_argument {
 public:
  explicit EncodeError(char32_t code_point);
  [[nodiscard]] char32_t code_point() const noexcept { return code_point_; }

 private:
  char32_t code_point_;
};

// Big5 as Windows code page 950: U+0000..U+007F become one byte of the same
// value, everything else its one- or two-byte code, lead byte first. Trail
// bytes in 0x40..0x7E look like ASCII and are kept as they are.
// Throws EncodeError for the first character without a code.
std::string EncodeCp950(std::u32string_view text);

// "U+7E3D" for messages.
std::string CodePointName(char32_t code_point);

namespace detail {

struct Cp950Entry {
  std::uint16_t code_point;
  std::uint16_t code;  // > 0xFF: two bytes, lead byte in the high half
};

// Sorted by code point; every pair decodes back to the same character.
std::span<const Cp950Entry> Cp950Entries();

}  // namespace detail
}  // namespace qj570
