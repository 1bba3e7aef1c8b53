#pragma once

#include <optional>
#include <string>
#include <vector>

#include "receipt/printer_line.h"

namespace qj570::app {

// Prints the receipt in `path` ("-": standard input) on `port`, with no
// window. The whole file is read and encoded before the port is opened, so
// bad input sends nothing. Reports any failure on standard error and
// returns the exit status: 0 when every byte has left the port, else 1.
// The receipt in `path` ("-": standard input), read whole and encoded; on
// bad input, says what is wrong on standard error and gives nothing.
std::optional<std::vector<PrinterLine>> ReadReceiptFile(const std::string& path);

int PrintReceiptFile(const std::string& path, const std::string& port);

}  // namespace qj570::app
