#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "receipt/serial/serial_link.h"

namespace qj570::app {

struct Options {
  enum class Action : std::uint8_t {
    kWindow,
    kHelp,
    kVersion,
    kListPorts,
    kPrintReceipt,
    kPreview,
  };
  Action action = Action::kWindow;
  std::string port;  // in the link's form; serial port 1 unless --port
  bool port_given = false;
  PortSettings settings = kPortSettings;  // --line
  std::string receipt;                    // --receipt FILE; "-" is standard input
  std::string preview;                    // --preview FILE.png: draws the receipt there instead
};

// An argument the program does not take; what() says which.
class UsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The arguments after the program's name. Throws UsageError.
Options ParseCommandLine(const std::vector<std::string>& args);

std::string Usage();

// Does what the arguments ask and returns the exit status (ExitStatus): 0
// done, 2 a bad argument (nothing was opened), else the failure reported.
int RunCommandLine(const std::vector<std::string>& args);

}  // namespace qj570::app
