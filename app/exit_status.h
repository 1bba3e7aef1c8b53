#pragma once

#include <string>

#include "receipt/serial/link_error.h"

namespace qj570::app {

// What the program's exit status tells a script. The numbers are stable,
// and the same on every system: scripts act on them.
enum class ExitStatus : unsigned char {
  kDone = 0,            // the window was closed, or the whole receipt left the port
  kFailed = 1,          // any failure no other status names; the window's every failure
  kUsage = 2,           // a bad argument; nothing was opened
  kPortMissing = 3,     // no device of that name, or one just unplugged
  kNoHardware = 4,      // no UART answers behind it
  kNoPermission = 5,    // not allowed to open it
  kPortBusy = 6,        // another program holds it
  kNotSerialPort = 7,   // a file or device that is no serial port
  kPrinterStalled = 8,  // the printer takes no data: off, out of paper, offline
  kDeviceGone = 9,      // the device went away during the receipt
  kBadReceipt = 10,     // the receipt's text cannot be read or printed; nothing was sent
};

[[nodiscard]] constexpr int Code(ExitStatus status) noexcept { return static_cast<int>(status); }

// The status for a receipt that failed so.
ExitStatus ExitStatusOf(const LinkError& error) noexcept;

// "Exit status:" and a line for each status, for the usage.
std::string ExitStatusesInWords();

}  // namespace qj570::app
