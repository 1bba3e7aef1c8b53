#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qj570::app {

// How wide a piece of text is drawn, in pixels.
using MeasureText = std::function<int(std::string_view)>;

// `text` (UTF-8) broken into lines no wider than `width`, where Unicode's
// line breaking rules allow a break (Chinese between characters, never
// before 。，：」 nor after 「). A command, a path or an option is never
// split. Each line of `text` keeps its indentation, on its continuations
// too; a piece wider than `width` stands alone on its line.
std::vector<std::string> BreakLines(std::string_view text, int width, const MeasureText& measure);

}  // namespace qj570::app
