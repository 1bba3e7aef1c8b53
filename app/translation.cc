#include "app/translation.h"

namespace qj570::app {

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern.find('}', i);
    if (pattern[i] == '{' && close != std::string_view::npos && close - i == 2 &&
        pattern[i + 1] >= '0' && static_cast<std::size_t>(pattern[i + 1] - '0') < args.size()) {
      out += *(args.begin() + (pattern[i + 1] - '0'));
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
  // . ? ! ) and Chinese 。？！）」
  for (const std::string_view close : {".", "?", "!", ")", "\xE3\x80\x82", "\xEF\xBC\x9F",
                                       "\xEF\xBC\x81", "\xEF\xBC\x89", "\xE3\x80\x8D"}) {
    if (first.ends_with(close)) {
      return Format(Tr("{0} {1}"), {first, second});
    }
  }
  return first + "\n" + second;
}

std::string ListOf(const std::vector<std::string>& items) {
  std::string list = items.empty() ? "" : items.front();
  for (std::size_t i = 1; i < items.size(); ++i) {
    list = Format(Tr("{0}, {1}"), {list, items[i]});
  }
  return list;
}

}  // namespace qj570::app
