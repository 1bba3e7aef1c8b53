#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qj570::app {

// The error box of the X11 program, modal: `message`, wrapped to the box, a
// button for each of `choices`, and Close, the default, which Enter, Escape
// and the close box take. Tab and the arrow keys move between the buttons;
// Space presses one. Returns the choice; none when the box was dismissed.
std::optional<std::size_t> ShowErrorBox(const std::string& message,
                                        const std::vector<std::string>& choices, int dpi);

}  // namespace qj570::app
