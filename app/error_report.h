#pragma once

#include <string>

#include "receipt/serial_link.h"

namespace qj570::app {

// What the user is told of a failed job, in the box: "Run-time error '2':",
// a blank line, the description and, when the port could not be taken,
// the serial ports that this computer does have.
std::string RunTimeErrorMessage(const LinkError& error);

// The same as one entry for standard error, "qj570-rs232: Run-time error
// '2': ...", ending in a newline.
std::string RunTimeErrorLog(const LinkError& error);

}  // namespace qj570::app
