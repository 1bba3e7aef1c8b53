#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qj570 {

// A serial port that exists and has hardware behind it.
struct SerialPortInfo {
  std::string device;                // /dev/ttyUSB0, COM3
  std::vector<std::string> aliases;  // stable names: /dev/serial/by-id/...
};

// The serial ports of this computer, sorted by name. Never opens a port:
// Linux reads sysfs and /dev (a ttyS node counts only where sysfs shows a
// UART behind it, so the placeholders of the 8250 driver are left out);
// Windows reads HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
std::vector<SerialPortInfo> FindSerialPorts();

// Linux: the same below `root`, a tree that holds sys/class/tty and dev.
std::vector<SerialPortInfo> FindSerialPortsUnder(const std::filesystem::path& root);

}  // namespace qj570
