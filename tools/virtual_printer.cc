// A QJ-570 on a pseudo-terminal, for trying the program without hardware.
// Prints what arrives as the printer would print it: text lines in UTF-8
// (a Big5 character takes two columns, as on paper), blank lines, and the
// closing command and the form feed made visible.
//
//   virtual_printer [--raw FILE] [--receipts N]
//
//   --raw FILE     also append every byte received to FILE
//   --receipts N   exit after N form feeds (default: run until killed)
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "app/translation.h"
#include "receipt/cp950.h"
#include "receipt/hex.h"
#include "tools/pty_pair.h"

namespace {

using qj570::app::Format;
using qj570::app::Tr;

constexpr int kPaperColumns = 32;

std::string Usage(const char* program) {
  using qj570::app::Tr;
  return qj570::app::Format(
      Tr("usage: {0} [--raw FILE] [--receipts N]\n"
         "A QJ-570 printer on a pseudo-terminal: prints what it receives.\n"
         "  --raw FILE     also append every byte received to FILE\n"
         "  --receipts N   end after N receipts (default: run until stopped)\n"),
      {program});
}

std::string Utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// A byte the printer does not print, made visible: "<1B>".
std::string Shown(unsigned char byte) {
  std::string shown = "<";  // appended, not "<" + ...: GCC 12 warns falsely (-Wrestrict)
  shown += qj570::Hex(byte);
  return shown += '>';
}

class Printer {
 public:
  Printer() {
    for (const auto& entry : qj570::detail::Cp950Entries()) {
      decode_.emplace(entry.code, entry.code_point);
    }
  }

  // Feeds received bytes; returns how many form feeds they completed.
  int Feed(std::string_view bytes) {
    int form_feeds = 0;
    for (const char b : bytes) {
      if (b != '\r') {
        pending_ += b;
        continue;
      }
      form_feeds += Command(pending_) ? 1 : 0;
      pending_.clear();
    }
    return form_feeds;
  }

 private:
  // One CR-terminated command. Returns true for a form feed.
  bool Command(const std::string& cmd) {
    if (cmd.rfind("\x1B"
                  "PB1",
                  0) == 0) {
      Paper(cmd.substr(4));
    } else if (cmd ==
               "\x1B"
               "LB1") {
      Paper("");
    } else if (cmd ==
               "\x1B"
               "VB") {
      std::printf("%s\n", Tr("  [VB: closing command]"));
    } else if (cmd == "\x0C") {
      std::printf("%s\n\n", Format(Tr("--8<-- form feed: receipt {0} ends ------"),
                                   {std::to_string(++receipts_)})
                                .c_str());
    } else {
      std::string shown;
      for (const char b : cmd) {
        shown += Shown(static_cast<unsigned char>(b));
      }
      std::printf("%s\n", Format(Tr("  [unknown command {0}<0D>]"), {shown}).c_str());
    }
    std::fflush(stdout);
    return cmd == "\x0C";
  }

  // A line of paper; Big5 text in two columns a character.
  void Paper(std::string_view big5) {
    std::string line;
    int columns = 0;
    for (std::size_t i = 0; i < big5.size(); ++i) {
      const auto b = static_cast<unsigned char>(big5[i]);
      if (b == 0x0E) {
        line += "\u240E";  // SO, visible: the printer prints the next character wide
        columns += 1;
      } else if (b >= 0x20 && b < 0x7F) {
        line += static_cast<char>(b);
        columns += 1;
      } else if (b >= 0x81 && i + 1 < big5.size()) {
        const auto code =
            static_cast<std::uint16_t>(b << 8 | static_cast<unsigned char>(big5[i + 1]));
        const auto it = decode_.find(code);
        line += it != decode_.end() ? Utf8(it->second)
                                    : Shown(b) + Shown(static_cast<unsigned char>(big5[i + 1]));
        columns += 2;
        ++i;
      } else {
        line += Shown(b);
        columns += 4;
      }
    }
    std::printf("|%s%*s|\n", line.c_str(), columns < kPaperColumns ? kPaperColumns - columns : 0,
                "");
  }

  std::unordered_map<std::uint16_t, char32_t> decode_;
  std::string pending_;
  int receipts_ = 0;
};

// Prints what arrives until `receipts` form feeds (0: forever).
int Serve(const char* raw_path, int receipts) {
  int raw = -1;
  if (raw_path != nullptr &&
      (raw = ::open(raw_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) < 0) {
    std::perror(raw_path);
    return 1;
  }
  const qj570::tools::PtyPair line;

  std::printf("%s\n\n", Format(Tr("virtual printer on {0}"), {line.slave_path()}).c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n",
               Format(Tr("To print on it:  qj570-rs232 --port {0}"), {line.slave_path()}).c_str());

  Printer printer;
  std::array<char, 4096> buf{};
  int printed = 0;
  while (receipts == 0 || printed < receipts) {
    const ssize_t n = ::read(line.master(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      std::perror("read");
      return 1;
    }
    if (raw >= 0 && ::write(raw, buf.data(), static_cast<std::size_t>(n)) != n) {
      std::perror(raw_path);
      return 1;
    }
    printed += printer.Feed({buf.data(), static_cast<std::size_t>(n)});
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qj570::app::SetUpLanguage();
  const char* raw_path = nullptr;
  int receipts = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--raw" && i + 1 < argc) {
      raw_path = argv[++i];
    } else if (arg == "--receipts" && i + 1 < argc) {
      receipts = std::atoi(argv[++i]);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(Usage(argv[0]).c_str(), stdout);
      return 0;
    } else {
      std::fputs(Usage(argv[0]).c_str(), stderr);
      return 2;
    }
  }
  try {
    return Serve(raw_path, receipts);
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "qj570-virtual-printer: %s\n", error.what());
  }
  return 1;
}
