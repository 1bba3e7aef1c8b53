#include "receipt/serial_ports.h"

namespace qj570 {

std::string DescribeSerialPorts(const std::vector<SerialPortInfo>& ports) {
  if (ports.empty()) {
    return "No serial port with hardware behind it was found on this computer.";
  }
  std::string text = "Serial ports on this computer:";
  for (const SerialPortInfo& port : ports) {
    text += "\n  " + port.device;
    for (const std::string& alias : port.aliases) {
      text += "\n    " + alias;
    }
  }
  return text;
}

}  // namespace qj570
