#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qj570 {

// `value` in upper-case hexadecimal with at least `digits` digits, for
// messages and dumps: Hex(0x0E) is "0E", Hex(0x7E3D, 4) is "7E3D".
inline std::string Hex(std::uint32_t value, std::size_t digits = 2) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string hex;
  for (std::uint32_t rest = value; rest != 0 || hex.size() < digits; rest >>= 4) {
    hex.insert(hex.begin(), kDigits[rest & 0xF]);
  }
  return hex;
}

}  // namespace qj570
