#include "app/receipt_file.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "app/error_report.h"
#include "app/exit_status.h"
#include "app/process.h"
#include "app/translation.h"
#include "receipt/cp950.h"
#include "receipt/hex.h"
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
    throw ReceiptTextError(ReceiptTextError::Problem::kUnreadable, name, 0, 0,
                           static_cast<std::uint32_t>(errno));
  }
  if (std::filesystem::is_directory(file)) {
    throw ReceiptTextError(ReceiptTextError::Problem::kUnreadable, name, 0, 0, EISDIR);
  }
  return ReadReceiptText(in, name);
}

// "receipt.txt: line 3, column 7: U+00E9 has no code in code page 950 (Big5)"
std::string Describe(const ReceiptTextError& error) {
  using Problem = ReceiptTextError::Problem;
  const std::string line = std::to_string(error.line());
  const std::string position = std::to_string(error.position());
  switch (error.problem()) {
    case Problem::kNotUtf8:
      return Format(Tr("{0}: line {1}, byte {2}: not UTF-8 (byte 0x{3})"),
                    {error.name(), line, position, Hex(error.value())});
    case Problem::kNoCode:
      return Format(Tr("{0}: line {1}, column {2}: {3} has no code in code page 950 (Big5)"),
                    {error.name(), line, position, CodePointName(error.value())});
    case Problem::kControl:
      return Format(Tr("{0}: line {1}, column {2}: control character {3} (only SO, U+000E, may "
                       "stand in a receipt)"),
                    {error.name(), line, position, CodePointName(error.value())});
    case Problem::kEmpty:
      return Format(Tr("{0}: empty: a receipt needs at least one line"), {error.name()});
    case Problem::kTooLarge:
      return Format(Tr("{0}: larger than 64 KiB ({1} bytes); a receipt is far shorter"),
                    {error.name(), std::to_string(error.value())});
    case Problem::kUnreadable:
      break;
  }
  const auto number = static_cast<int>(error.value());
  return Format(Tr("cannot read {0}: {1}"),
                {error.name(), number == 0        ? Tr("it cannot be opened")
                               : number == EISDIR ? Tr("it is a folder")
                                                  : std::generic_category().message(number)});
}

}  // namespace

std::string ReceiptName(const std::string& path) {
  return path == "-" ? Tr("standard input") : path;
}

std::optional<std::vector<PrinterLine>> ReadReceiptFile(const std::string& path) {
  const std::string name = ReceiptName(path);
  try {
    return ReceiptFromText(ReadAll(path, name), name);
  } catch (const ReceiptTextError& error) {
    PrintError("qj570-rs232: " + Describe(error) + "\n");
    return std::nullopt;
  }
}

int PrintReceiptFile(const std::string& path, const std::string& port,
                     const PortSettings& settings) {
  const auto lines = ReadReceiptFile(path);
  if (!lines) {
    return Code(ExitStatus::kBadReceipt);
  }
  SerialLink link(port, settings);
  try {
    ReceiptJob(link, *lines).run();
  } catch (const LinkError& error) {
    PrintError(RunTimeErrorReport(error).Log());
    return Code(ExitStatusOf(error));
  }
  return Code(ExitStatus::kDone);
}

}  // namespace qj570::app
