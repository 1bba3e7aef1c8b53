#pragma once

#include <string>

namespace qj570::app {

// Prints the receipt in `path` ("-": standard input) on `port`, with no
// window. The whole file is read and encoded before the port is opened, so
// bad input sends nothing. Reports any failure on standard error and
// returns the exit status: 0 when every byte has left the port, else 1.
int PrintReceiptFile(const std::string& path, const std::string& port);

}  // namespace qj570::app
