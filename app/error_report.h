#pragma once

#include <string>

#include "receipt/serial_link.h"

namespace qj570::app {

// What the user is told of a failed job. Made once per failure: when the
// port could not be taken, it looks up the serial ports this computer does
// have.
class RunTimeErrorReport {
 public:
  explicit RunTimeErrorReport(const LinkError& error);

  // For the box: "Run-time error '2':", a blank line, the description and
  // the ports, if looked up.
  [[nodiscard]] std::string Message() const;
  // The same as one entry for standard error, "qj570-rs232: Run-time error
  // '2': ...", ending in a newline.
  [[nodiscard]] std::string Log() const;

 private:
  std::string heading_;
  std::string description_;
  std::string ports_;  // empty unless the open failed
};

}  // namespace qj570::app
