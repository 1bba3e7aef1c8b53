#include "app/port_advice.h"
#include "app/translation.h"

namespace qj570::app {

// The program prints on COM1: a USB adapter can be given that number, or
// a shortcut can name the adapter's port.
std::string ChoosePortAdvice(const std::string& failed, const std::vector<SerialPortInfo>& ports) {
  std::string example = "COM3";
  for (const SerialPortInfo& port : ports) {
    if (port.device != failed) {
      example = port.device;
      break;
    }
  }
  return Format(Tr("In Device Manager, give the printer's USB adapter the number COM1 (Ports "
                   "(COM & LPT), the adapter, Port Settings, Advanced, COM Port Number), or "
                   "make a shortcut that starts:\nqj570-rs232 --port {0}"),
                {example});
}

std::string PermissionAdvice() {
  return Tr("You may not use this port: ask the computer's administrator for access to it.");
}

// The registry lists only the ports that are there.
bool DeviceIsThere(const std::string& /*device*/) { return true; }

}  // namespace qj570::app
