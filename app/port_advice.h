#pragma once

#include <string>
#include <vector>

#include "receipt/serial/serial_ports.h"

// The next step when the port was the wrong one or may not be used, for
// someone who may have started the program from a menu, with no command
// line. One file per platform.
namespace qj570::app {

// How to print on the right port instead of `failed`: `ports` are those
// this computer has.
std::string ChoosePortAdvice(const std::string& failed, const std::vector<SerialPortInfo>& ports);

// How to be allowed to use the port.
std::string PermissionAdvice();

// Whether the port's device node is there (always, for a COM port).
bool DeviceIsThere(const std::string& device);

}  // namespace qj570::app
