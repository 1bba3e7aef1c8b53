#include "app/text_layout.h"

#include <dlfcn.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unicode/uvernum.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

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

// ICU's names carry its version ("ubrk_open_72"), as its headers name them.
#define QJ570_ICU_NAME(function) QJ570_QUOTE(function)
#define QJ570_QUOTE(name) #name

template <typename Function>
Function* Find(void* library, const char* name) {
  return reinterpret_cast<Function*>(dlsym(library, name));
}

// ICU's line breaking, opened when a box first breaks its lines: linked to
// the program, its relocations would cost every start about 1 MiB for a box
// that most runs never show. Kept open until the program ends.
struct Icu {
  decltype(ubrk_open)* open = nullptr;
  decltype(utext_openUTF8)* open_utf8 = nullptr;
  decltype(ubrk_setUText)* set_text = nullptr;
  decltype(ubrk_next)* next = nullptr;
  decltype(ubrk_close)* close = nullptr;
  decltype(utext_close)* close_text = nullptr;

  Icu() {
    void* library = dlopen("libicuuc.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) {
      open = Find<decltype(ubrk_open)>(library, QJ570_ICU_NAME(ubrk_open));
      open_utf8 = Find<decltype(utext_openUTF8)>(library, QJ570_ICU_NAME(utext_openUTF8));
      set_text = Find<decltype(ubrk_setUText)>(library, QJ570_ICU_NAME(ubrk_setUText));
      next = Find<decltype(ubrk_next)>(library, QJ570_ICU_NAME(ubrk_next));
      close = Find<decltype(ubrk_close)>(library, QJ570_ICU_NAME(ubrk_close));
      close_text = Find<decltype(utext_close)>(library, QJ570_ICU_NAME(utext_close));
    }
  }
  [[nodiscard]] bool Complete() const {
    return open != nullptr && open_utf8 != nullptr && set_text != nullptr && next != nullptr &&
           close != nullptr && close_text != nullptr;
  }
};

// The places where Unicode's rules (UAX #14) allow a break in `text`, as
// byte offsets; after each space alone if ICU cannot be had.
std::vector<std::size_t> UnicodeBreaks(std::string_view text) {
  static const Icu icu;
  std::vector<std::size_t> breaks;
  UErrorCode status = U_ZERO_ERROR;
  UBreakIterator* lines = nullptr;
  UText* utf8 = nullptr;
  if (icu.Complete()) {
    lines = icu.open(UBRK_LINE, "", nullptr, 0, &status);
    utf8 = icu.open_utf8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    icu.set_text(lines, utf8, &status);  // UTF-8 text: the boundaries are byte offsets
  }
  if (icu.Complete() && U_SUCCESS(status) != 0) {
    for (int32_t at = icu.next(lines); at != UBRK_DONE; at = icu.next(lines)) {
      breaks.push_back(static_cast<std::size_t>(at));
    }
  } else {
    for (std::size_t at = 1; at < text.size(); ++at) {
      if (text[at - 1] == ' ' && text[at] != ' ') {
        breaks.push_back(at);
      }
    }
  }
  if (icu.Complete()) {
    icu.close(lines);
    icu.close_text(utf8);
  }
  return breaks;
}

std::string_view WithoutTrailingSpaces(std::string_view text) {
  while (text.ends_with(' ')) {
    text.remove_suffix(1);
  }
  return text;
}

void BreakParagraph(std::string_view paragraph, int width, const MeasureText& measure,
                    std::vector<std::string>& lines) {
  const std::size_t indent = std::min(paragraph.find_first_not_of(' '), paragraph.size());
  const std::string prefix(paragraph.substr(0, indent));
  const std::string_view body = paragraph.substr(indent);
  std::vector<std::size_t> breaks;
  for (const std::size_t at : UnicodeBreaks(body)) {
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

std::vector<std::string> BreakLines(std::string_view text, int width, const MeasureText& measure) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    BreakParagraph(text.substr(start, end - start), width, measure, lines);
    if (end == text.size()) {
      return lines;
    }
    start = end + 1;
  }
}

}  // namespace qj570::app
