#pragma once

#include <string>
#include <string_view>

namespace qj570::app {

// `text` made safe to show in a terminal or a box. Names of devices, USB
// strings and the names of other programs come from outside: an escape
// sequence in them would act on the user's terminal. Printable UTF-8
// (Chinese too) stays as it is; a control character (C0, DEL, C1) or a byte
// that is not UTF-8 becomes \x1b, and a character that turns the direction
// of text or breaks its line (U+061C, U+200E, U+200F, U+2028..U+202E,
// U+2066..U+2069) becomes \u202e. What it returns, it returns unchanged.
std::string VisibleText(std::string_view text);

}  // namespace qj570::app
