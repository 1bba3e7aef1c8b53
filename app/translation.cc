#include "app/translation.h"

#include "app/visible_text.h"

namespace qj570::app {

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern.find('}', i);
    if (pattern[i] == '{' && close != std::string_view::npos && close - i == 2 &&
        pattern[i + 1] >= '0' && static_cast<std::size_t>(pattern[i + 1] - '0') < args.size()) {
      out += VisibleText(*(args.begin() + (pattern[i + 1] - '0')));
      i = close;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string JoinSentences(const std::string& first, const std::string& second) {
  if (first.empty() || second.empty()) {
    return first + second;
  }
  return Format(Tr("{0} {1}"), {first, second});
}

}  // namespace qj570::app
