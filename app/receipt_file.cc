#include "app/receipt_file.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "app/error_report.h"
#include "app/process.h"
#include "receipt/receipt_job.h"
#include "receipt/text_receipt.h"

namespace qj570::app {
namespace {

// `name` is what messages call it: the path, or "standard input".
std::string ReadAll(const std::string& path, const std::string& name) {
  if (path == "-") {
    return ReadReceiptText(StandardInput(), name);
  }
  // The path is UTF-8 on every system, Windows included.
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int number = errno;
    throw ReceiptTextError("cannot read " + path + ": " +
                           (number != 0 ? std::generic_category().message(number)
                                        : std::string("it cannot be opened")));
  }
  if (std::filesystem::is_directory(file)) {
    throw ReceiptTextError("cannot read " + path + ": it is a folder");
  }
  return ReadReceiptText(in, name);
}

}  // namespace

int PrintReceiptFile(const std::string& path, const std::string& port) {
  const std::string name = path == "-" ? "standard input" : path;
  std::vector<PrinterLine> lines;
  try {
    lines = ReceiptFromText(ReadAll(path, name), name);
  } catch (const ReceiptTextError& error) {
    PrintError(std::string("qj570-rs232: ") + error.what() + "\n");
    return 1;
  }
  SerialLink link(port);
  try {
    ReceiptJob(link, lines).run();
  } catch (const LinkError& error) {
    PrintError(RunTimeErrorReport(error).Log());
    return 1;
  }
  return 0;
}

}  // namespace qj570::app
