#include "app/text_layout.h"

#include <dlfcn.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unicode/uvernum.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace qj570::app {
namespace {

// Printable ASCII but the space: the letters of a command, a path, an
// option or an English word.
bool IsWordByte(char c) { return c > ' ' && c < '\x7F'; }

std::string_view WordEndingAt(std::string_view text, std::size_t end) {
  std::size_t start = end;
  while (start > 0 && IsWordByte(text[start - 1])) {
    --start;
  }
  return text.substr(start, end - start);
}

std::string_view WordStartingAt(std::string_view text, std::size_t start) {
  std::size_t end = start;
  while (end < text.size() && IsWordByte(text[end])) {
    ++end;
  }
  return text.substr(start, end - start);
}

// Whether a command goes on past the space after `word`: it is an option
// (whose value follows), a variable, or sudo, and ends no clause.
bool CommandGoesOn(std::string_view word) {
  if (word.empty() || word.find_last_of(".,:;)") == word.size() - 1) {
    return false;
  }
  if (word.front() == '(') {
    word.remove_prefix(1);
  }
  return word.starts_with('-') || word.starts_with('$') || word == "sudo";
}

// Whether the UTF-8 sequence that ends at `end` is Chinese punctuation
// (U+3000..U+303F, U+FF00..U+FFEF): "/dev/ttyS0：沒有" holds a path, then
// a sentence.
bool EndsInChinesePunctuation(std::string_view text, std::size_t end) {
  if (end < 3) {
    return false;
  }
  const auto lead = static_cast<unsigned char>(text[end - 3]);
  const auto second = static_cast<unsigned char>(text[end - 2]);
  return (lead == 0xE3 && second == 0x80) || (lead == 0xEF && second >= 0xBC);
}

// Whether `at` lies in a path: after a '/' with no space nor Chinese
// punctuation between ("/tmp/印表機").
bool InsidePath(std::string_view text, std::size_t at) {
  for (std::size_t end = at;
       end > 0 && text[end - 1] != ' ' && !EndsInChinesePunctuation(text, end); --end) {
    if (text[end - 1] == '/') {
      return true;
    }
  }
  return false;
}

// Where the text may break, besides where Unicode's rules allow it. A
// command, a path or a port name is never split: there is no break inside a
// run of printable ASCII ("qj570-rs232", "RTS/CTS") nor inside a path, even
// one with Chinese in it ("/dev/serial/by-id/usb-FTDI...", "/tmp/印表機"),
// and the space before a word that starts with '-', '/' or '$', or after an
// option, a variable or sudo, joins ("qj570-rs232 --port /dev/ttyUSB0",
// "sudo adduser $USER dialout").
bool MayBreakAt(std::string_view text, std::size_t at) {
  if ((IsWordByte(text[at - 1]) && IsWordByte(text[at])) || InsidePath(text, at)) {
    return false;
  }
  if (text[at - 1] != ' ') {
    return true;
  }
  std::size_t space = at - 1;
  while (space > 0 && text[space - 1] == ' ') {
    --space;
  }
  const std::string_view after = WordStartingAt(text, at);
  const bool command_follows =
      !after.empty() && (after.front() == '-' || after.front() == '/' || after.front() == '$');
  return !command_follows && !CommandGoesOn(WordEndingAt(text, space));
}

// How a character takes part in breaking a line, by the rules this file
// carries for when no ICU can be opened: a rough UAX #14 for Latin and CJK.
enum class BreakClass : std::uint8_t {
  kSpace,
  kIdeograph,  // Chinese, kana, Hangul, bopomofo, full-width forms: a break on either side
  kOpening,    // no break after: （「『 ( [
  kClosing,    // no break before: 。，、：；）」』！？ ) , . and small kana
  kJoining,    // no break before: combining marks, variation selectors, ZWJ
  kGlue,       // no break on either side: no-break spaces, word joiner
  kOther,      // Latin letters, digits and the rest: breaks only after spaces
};

BreakClass ClassOf(char32_t c) {
  static constexpr std::u32string_view kOpening =
      U"([{\u2018\u201C\u3008\u300A\u300C\u300E\u3010"
      U"\u3014\u3016\u3018\u301A\u301D\uFF08\uFF3B"
      U"\uFF5B\uFF5F\uFF62";
  static constexpr std::u32string_view kClosing =
      U")]},.:;!?%\u2019\u201D\u2025\u2026\u2027\u3001\u3002\u3009\u300B\u300D\u300F\u3011"
      U"\u3015\u3017\u3019\u301B\u301E\u301F\u3005\u303B\u309D\u309E\u30FB\u30FC\u30FD\u30FE"
      U"\u3041\u3043\u3045\u3047\u3049\u3063\u3083\u3085\u3087\u308E\u3095\u3096\u30A1\u30A3"
      U"\u30A5\u30A7\u30A9\u30C3\u30E3\u30E5\u30E7\u30EE\u30F5\u30F6\uFF01\uFF09\uFF0C\uFF0E"
      U"\uFF1A\uFF1B\uFF1F\uFF3D\uFF5D\uFF60\uFF61\uFF63\uFF64\uFF65";
  if (c == ' ' || c == 0x3000) {
    return BreakClass::kSpace;
  }
  if (c == 0x00A0 || c == 0x202F || c == 0x2060 || c == 0xFEFF) {
    return BreakClass::kGlue;
  }
  if (kOpening.find(c) != std::u32string_view::npos) {
    return BreakClass::kOpening;
  }
  if (kClosing.find(c) != std::u32string_view::npos) {
    return BreakClass::kClosing;
  }
  if ((c >= 0x0300 && c <= 0x036F) || c == 0x200D || (c >= 0x20D0 && c <= 0x20FF) || c == 0x3099 ||
      c == 0x309A || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF)) {
    return BreakClass::kJoining;
  }
  if ((c >= 0x2E80 && c <= 0x2FFF) || (c >= 0x3000 && c <= 0x33FF) ||
      (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
      (c >= 0xA000 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7AF) ||
      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
      (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x1F000 && c <= 0x1FAFF) ||
      (c >= 0x20000 && c <= 0x3FFFD)) {
    return BreakClass::kIdeograph;
  }
  return BreakClass::kOther;
}

// The code point at `at` and its length in bytes; a byte that starts no
// UTF-8 sequence stands for itself.
std::size_t Decode(std::string_view text, std::size_t at, char32_t& c) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length == 1 || at + length > text.size()) {
    c = lead;
    return 1;
  }
  c = lead & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    c = (c << 6U) | (static_cast<unsigned char>(text[at + i]) & 0x3FU);
  }
  return length;
}

// Whether a line may break between a character of class `before` and one
// of class `after`: after spaces; on either side of an ideograph; after
// full-width closing punctuation and before full-width opening; never
// before closing punctuation nor after opening.
bool MayBreakBetween(BreakClass before, char32_t first, BreakClass after, char32_t second) {
  if (after == BreakClass::kSpace) {
    return false;
  }
  if (before == BreakClass::kSpace) {
    return true;
  }
  if (after == BreakClass::kClosing || after == BreakClass::kJoining ||
      after == BreakClass::kGlue || before == BreakClass::kOpening || before == BreakClass::kGlue) {
    return false;
  }
  return before == BreakClass::kIdeograph || after == BreakClass::kIdeograph ||
         (before == BreakClass::kClosing && first >= 0x3000) ||
         (after == BreakClass::kOpening && second >= 0x3000);
}

std::vector<std::size_t> OwnBreaks(std::string_view text) {
  std::vector<std::size_t> breaks;
  char32_t first = 0;
  std::size_t at = text.empty() ? 0 : Decode(text, 0, first);
  BreakClass before = ClassOf(first);
  while (at < text.size()) {
    char32_t second = 0;
    const std::size_t length = Decode(text, at, second);
    const BreakClass after = ClassOf(second);
    if (MayBreakBetween(before, first, after, second)) {
      breaks.push_back(at);
    }
    if (after != BreakClass::kJoining) {  // a mark takes the class of what it marks
      before = after;
      first = second;
    }
    at += length;
  }
  breaks.push_back(text.size());
  return breaks;
}

template <typename Function>
Function* Find(void* library, const std::string& name) {
  return reinterpret_cast<Function*>(dlsym(library, name.c_str()));
}

// The releases of ICU to look for besides this build's, newest first. ICU
// makes two a year: 60 came in 2017, before any system this program runs
// on, 99 is due about 2036. Each one missing costs dlopen about 1 ms.
constexpr int kNewestIcu = 99;
constexpr int kOldestIcu = 60;

}  // namespace

// ICU's line breaking. Not linked to the program: its relocations would
// cost every start about 1 MiB for a box that most runs never show, and a
// program linked to one ICU release does not start where another is.
// Kept open until the program ends.
struct LineBreakRules::Icu {
  decltype(ubrk_open)* open = nullptr;
  decltype(utext_openUTF8)* open_utf8 = nullptr;
  decltype(ubrk_setUText)* set_text = nullptr;
  decltype(ubrk_next)* next = nullptr;
  decltype(ubrk_close)* close = nullptr;
  decltype(utext_close)* close_text = nullptr;

  // The functions of `library`, whose names end in `_release` ("_76"), or
  // in nothing when `release` is "".
  bool FindWithSuffix(void* library, std::string_view release) {
    const std::string suffix = release.empty() ? "" : std::string(1, '_').append(release);
    open = Find<decltype(ubrk_open)>(library, "ubrk_open" + suffix);
    open_utf8 = Find<decltype(utext_openUTF8)>(library, "utext_openUTF8" + suffix);
    set_text = Find<decltype(ubrk_setUText)>(library, "ubrk_setUText" + suffix);
    next = Find<decltype(ubrk_next)>(library, "ubrk_next" + suffix);
    close = Find<decltype(ubrk_close)>(library, "ubrk_close" + suffix);
    close_text = Find<decltype(utext_close)>(library, "utext_close" + suffix);
    return open != nullptr && open_utf8 != nullptr && set_text != nullptr && next != nullptr &&
           close != nullptr && close_text != nullptr;
  }

  // The release's suffix: the number in the library's name
  // ("libicuuc.so.76"), else the one its functions carry, or none where ICU
  // was built without.
  bool FindIn(void* library, std::string_view name) {
    const std::size_t dot = name.rfind(".so.");
    if (dot != std::string_view::npos && FindWithSuffix(library, name.substr(dot + 4))) {
      return true;
    }
    for (int release = kNewestIcu; release >= kOldestIcu; --release) {
      if (FindWithSuffix(library, std::to_string(release))) {
        return true;
      }
    }
    return FindWithSuffix(library, "");
  }
};

LineBreakRules::LineBreakRules(const std::vector<std::string>& libraries) {
  for (const std::string& name : libraries) {
    if (void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      auto icu = std::make_unique<Icu>();
      if (icu->FindIn(library, name)) {
        icu_ = std::move(icu);
        return;
      }
      dlclose(library);
    }
  }
}

LineBreakRules::~LineBreakRules() = default;

const LineBreakRules& LineBreakRules::Installed() {
  static const LineBreakRules rules([] {
    std::vector<std::string> names{"libicuuc.so." U_ICU_VERSION_SHORT};
    for (int release = kNewestIcu; release >= kOldestIcu; --release) {
      if (std::to_string(release) != U_ICU_VERSION_SHORT) {
        names.push_back("libicuuc.so." + std::to_string(release));
      }
    }
    names.emplace_back("libicuuc.so");  // where only the development files name it
    return names;
  }());
  return rules;
}

bool LineBreakRules::HasIcu() const { return icu_ != nullptr; }

std::vector<std::size_t> LineBreakRules::Breaks(std::string_view text) const {
  if (icu_ == nullptr) {
    return OwnBreaks(text);
  }
  std::vector<std::size_t> breaks;
  UErrorCode status = U_ZERO_ERROR;
  UBreakIterator* lines = icu_->open(UBRK_LINE, "", nullptr, 0, &status);
  UText* utf8 = icu_->open_utf8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  icu_->set_text(lines, utf8, &status);  // UTF-8 text: the boundaries are byte offsets
  if (U_SUCCESS(status) != 0) {
    for (int32_t at = icu_->next(lines); at != UBRK_DONE; at = icu_->next(lines)) {
      breaks.push_back(static_cast<std::size_t>(at));
    }
  }
  icu_->close(lines);
  icu_->close_text(utf8);
  return U_SUCCESS(status) != 0 ? breaks : OwnBreaks(text);
}

namespace {

std::string_view WithoutTrailingSpaces(std::string_view text) {
  while (text.ends_with(' ')) {
    text.remove_suffix(1);
  }
  return text;
}

void BreakParagraph(std::string_view paragraph, int width, const MeasureText& measure,
                    const LineBreakRules& rules, std::vector<std::string>& lines) {
  const std::size_t indent = std::min(paragraph.find_first_not_of(' '), paragraph.size());
  const std::string prefix(paragraph.substr(0, indent));
  const std::string_view body = paragraph.substr(indent);
  std::vector<std::size_t> breaks;
  for (const std::size_t at : rules.Breaks(body)) {
    if (at >= body.size() || MayBreakAt(body, at)) {
      breaks.push_back(at);
    }
  }
  if (breaks.empty() || breaks.back() != body.size()) {
    breaks.push_back(body.size());
  }
  const auto line = [&](std::size_t from, std::size_t to) {
    return prefix + std::string(WithoutTrailingSpaces(body.substr(from, to - from)));
  };
  std::size_t start = 0;
  std::size_t fits = 0;  // the last break at which the line still fits
  for (const std::size_t at : breaks) {
    if (fits > start && measure(line(start, at)) > width) {
      lines.push_back(line(start, fits));
      start = fits;
    }
    fits = at;
  }
  lines.push_back(line(start, body.size()));
}

}  // namespace

std::vector<std::string> BreakLines(std::string_view text, int width, const MeasureText& measure,
                                    const LineBreakRules& rules) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    BreakParagraph(text.substr(start, end - start), width, measure, rules, lines);
    if (end == text.size()) {
      return lines;
    }
    start = end + 1;
  }
}

}  // namespace qj570::app
