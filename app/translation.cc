#include "app/translation.h"

#include "app/visible_text.h"

namespace qj570::app {

namespace {

// `pattern` with {0}, {1} ... replaced by `args`, each as `show` gives it.
template <typename Show>
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> args,
                 Show show) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t close = pattern.find('}', i);
    if (pattern[i] == '{' && close != std::string_view::npos && close - i == 2 &&
        pattern[i + 1] >= '0' && static_cast<std::size_t>(pattern[i + 1] - '0') < args.size()) {
      out += show(*(args.begin() + (pattern[i + 1] - '0')));
      i = close;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) {
  return Fill(pattern, args, VisibleText);
}

std::string JoinSentences(const std::string& first, const std::string& second) {
  if (first.empty() || second.empty()) {
    return first + second;
  }
  // . ? ! ) : and Chinese 。？！）」：
  for (const std::string_view close :
       {".", "?", "!", ")", ":", "\xE3\x80\x82", "\xEF\xBC\x9F", "\xEF\xBC\x81", "\xEF\xBC\x89",
        "\xE3\x80\x8D", "\xEF\xBC\x9A"}) {
    if (first.ends_with(close)) {
      return Fill(Tr("{0} {1}"), {first, second}, [](std::string_view made) { return made; });
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
