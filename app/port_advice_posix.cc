#include <filesystem>
#include <system_error>

#include "app/port_advice.h"
#include "app/translation.h"

namespace qj570::app {

// The exact command for a port that is there, on a line of its own to be
// copied; a desktop entry can carry it.
std::string ChoosePortAdvice(const std::string& failed, const std::vector<SerialPortInfo>& ports) {
  for (const SerialPortInfo& port : ports) {
    if (port.device != failed) {
      return Format(Tr("To print on {0}, start the program as:\nqj570-rs232 --port {0}"),
                    {port.device});
    }
  }
  return Tr("Choose the printer's port with --port:\nqj570-rs232 --port /dev/ttyUSB0");
}

std::string PermissionAdvice() {
  return Tr(
      "You may not use this port: add your user to the 'dialout' group (sudo adduser "
      "$USER dialout) and log in again.");
}

bool DeviceIsThere(const std::string& device) {
  std::error_code error;
  return std::filesystem::exists(device, error);
}

}  // namespace qj570::app
