// A QJ-570 on a pseudo-terminal, for trying the program without hardware.
// Prints what arrives as the printer would print it: text lines in UTF-8
// (a Big5 character takes two columns, as on paper), blank lines, and the
// closing command and the form feed made visible; with --png, a picture of
// each receipt too. Both come from the same model of the paper.
//
//   virtual_printer [--raw FILE] [--png DIR] [--receipts N]
//
//   --raw FILE     also append every byte received to FILE
//   --png DIR      also save each receipt as DIR/receipt-N.png
//   --receipts N   exit after N form feeds (default: run until killed)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/picture_error.h"
#include "app/translation.h"
#include "paper/paper.h"
#include "paper/picture.h"
#include "tools/pty_pair.h"

namespace {

using qj570::app::Format;
using qj570::app::Tr;
using qj570::paper::Row;

std::string Usage(const char* program) {
  using qj570::app::Tr;
  return qj570::app::Format(
      Tr("usage: {0} [--raw FILE] [--png DIR] [--receipts N]\n"
         "A QJ-570 printer on a pseudo-terminal: prints what it receives.\n"
         "  --raw FILE     also append every byte received to FILE\n"
         "  --png DIR      also save each receipt's picture as DIR/receipt-N.png\n"
         "  --receipts N   end after N receipts (default: run until stopped)\n"),
      {program});
}

// Shows each row as the paper has it; with a folder, also saves each
// receipt's picture there as receipt-N.png when its form feed arrives.
class Printer {
 public:
  explicit Printer(const char* png_dir) : png_dir_(png_dir) {
    // A missing font or folder fails before any receipt.
    if (png_dir_ != nullptr) {
      struct stat folder = {};
      const int error = ::stat(png_dir_, &folder) != 0 ? errno
                        : S_ISDIR(folder.st_mode)      ? 0
                                                       : ENOTDIR;
      if (error != 0) {
        throw qj570::paper::PictureError(qj570::paper::PictureError::Problem::kUnwritable, png_dir_,
                                         static_cast<std::uint32_t>(error));
      }
      font_.emplace(qj570::paper::Font::Find());
    }
  }

  // Feeds received bytes; returns how many form feeds they completed.
  int Feed(std::string_view bytes) {
    int form_feeds = 0;
    for (auto& row : reader_.Feed(bytes)) {
      Show(row);
      if (row.kind == Row::Kind::kTear) {
        ++form_feeds;
      }
      if (png_dir_ != nullptr) {
        SaveAtTear(std::move(row));
      }
    }
    return form_feeds;
  }

 private:
  static void Show(const Row& row) {
    switch (row.kind) {
      case Row::Kind::kPrinted:
      case Row::Kind::kFeed: {
        // SO's mark takes no column on paper, but one on a terminal.
        const int columns =
            row.Columns() +
            static_cast<int>(std::count(row.glyphs.begin(), row.glyphs.end(),
                                        qj570::paper::Glyph{qj570::paper::kShiftOutMark, 0}));
        std::printf("|%s%*s|\n", row.Text().c_str(),
                    columns < qj570::paper::kColumns ? qj570::paper::kColumns - columns : 0, "");
        break;
      }
      case Row::Kind::kClosing:
        std::printf("%s\n", Tr("  [VB: closing command]"));
        break;
      case Row::Kind::kTear:
        std::printf("%s\n\n", Format(Tr("--8<-- form feed: receipt {0} ends ------"),
                                     {std::to_string(row.receipt)})
                                  .c_str());
        break;
      case Row::Kind::kUnknown:
        std::printf("%s\n", Format(Tr("  [unknown command {0}<0D>]"), {row.Text()}).c_str());
        break;
    }
    std::fflush(stdout);
  }

  void SaveAtTear(Row row) {
    const bool tear = row.kind == Row::Kind::kTear;
    const int receipt = row.receipt;
    receipt_.push_back(std::move(row));
    if (!tear || !font_) {  // the font is found with the folder
      return;
    }
    const std::string path = std::string(png_dir_) + "/receipt-" + std::to_string(receipt) + ".png";
    std::vector<Row> rows = std::exchange(receipt_, {});
    // A receipt without its picture is said so; the printer goes on.
    try {
      qj570::paper::WritePng(qj570::paper::Draw(rows, *font_), path);
    } catch (const qj570::paper::PictureError& error) {
      std::fprintf(stderr, "qj570-virtual-printer: %s\n",
                   Format(Tr("receipt {0} has no picture: {1}"),
                          {std::to_string(receipt), qj570::app::DescribePictureError(error)})
                       .c_str());
    }
  }

  qj570::paper::StreamReader reader_;
  const char* png_dir_;
  std::optional<qj570::paper::Font> font_;
  std::vector<Row> receipt_;  // since the last form feed
};

// How often, in ms, a printer with nobody on its line looks for one: a
// master cannot wait for a slave to be opened.
constexpr int kIdleLook = 10;

// Prints what arrives until `receipts` form feeds (0: forever).
int Serve(const char* raw_path, const char* png_dir, int receipts) {
  Printer printer(png_dir);
  const int raw =
      raw_path != nullptr ? ::open(raw_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  if (raw_path != nullptr && raw < 0) {
    std::perror(raw_path);
    return 1;
  }
  // No slave of its own: the program refuses a port that another process has open.
  const qj570::tools::PtyPair line(/*keep_slave=*/false);

  std::printf("%s\n\n", Format(Tr("virtual printer on {0}"), {line.slave_path()}).c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n",
               Format(Tr("To print on it:  qj570-rs232 --port {0}"), {line.slave_path()}).c_str());

  std::array<char, 4096> buf{};
  int printed = 0;
  while (receipts == 0 || printed < receipts) {
    const ssize_t n = ::read(line.master(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EIO) {  // nobody has the port open: the cable hangs loose
      ::poll(nullptr, 0, kIdleLook);
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
  const char* png_dir = nullptr;
  int receipts = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--raw" && i + 1 < argc) {
      raw_path = argv[++i];
    } else if (arg == "--png" && i + 1 < argc) {
      png_dir = argv[++i];
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
    return Serve(raw_path, png_dir, receipts);
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "qj570-virtual-printer: %s\n", error.what());
  } catch (const qj570::paper::PictureError& error) {
    std::fprintf(stderr, "qj570-virtual-printer: %s\n",
                 qj570::app::DescribePictureError(error).c_str());
  }
  return 1;
}
