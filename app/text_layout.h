#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qj570::app {

// How wide a piece of text is drawn, in pixels.
using MeasureText = std::function<int(std::string_view)>;

// Where Unicode's rules (UAX #14) let a line break, as byte offsets into
// UTF-8 text. ICU's line breaking where an ICU can be opened (the first of
// `libraries`: each release names its functions for its version,
// ubrk_open_76); else rules of this program's own, which break Chinese
// between characters, never before 。，、：；）」』！？ nor after （「『, and
// other text after its spaces.
class LineBreakRules {
 public:
  explicit LineBreakRules(const std::vector<std::string>& libraries);
  ~LineBreakRules();
  LineBreakRules(const LineBreakRules&) = delete;
  LineBreakRules& operator=(const LineBreakRules&) = delete;
  LineBreakRules(LineBreakRules&&) = delete;
  LineBreakRules& operator=(LineBreakRules&&) = delete;

  // The ICU this program was built with, else another installed release,
  // newest first; opened when a box first breaks its lines.
  static const LineBreakRules& Installed();

  [[nodiscard]] bool HasIcu() const;
  // Each place after the start of `text` where a line may break; its end
  // is one.
  [[nodiscard]] std::vector<std::size_t> Breaks(std::string_view text) const;

 private:
  struct Icu;
  std::unique_ptr<Icu> icu_;  // null without one
};

// `text` (UTF-8) broken into lines no wider than `width`, where `rules`
// allow a break. A command, a path or an option is never split. Each line of
// `text` keeps its indentation, on its continuations too; a piece wider
// than `width` stands alone on its line.
std::vector<std::string> BreakLines(std::string_view text, int width, const MeasureText& measure,
                                    const LineBreakRules& rules = LineBreakRules::Installed());

}  // namespace qj570::app
