#pragma once

#include <optional>
#include <string>
#include <vector>

#include "receipt/printer_line.h"
#include "receipt/serial/serial_link.h"

namespace qj570::app {

// What messages call the receipt in `path`: its name, or standard input's.
std::string ReceiptName(const std::string& path);

// The receipt in `path` ("-": standard input), read whole and encoded; on
// bad input, says what is wrong on standard error and gives nothing.
std::optional<std::vector<PrinterLine>> ReadReceiptFile(const std::string& path);

// Prints the receipt in `path` on `port`, set up with `settings`, with no
// window. The whole file is read and encoded before the port is opened, so
// bad input sends nothing. Reports any failure on standard error and
// returns the exit status (ExitStatus): 0 when every byte has left the
// port, else the kind of failure.
int PrintReceiptFile(const std::string& path, const std::string& port,
                     const PortSettings& settings);

}  // namespace qj570::app
