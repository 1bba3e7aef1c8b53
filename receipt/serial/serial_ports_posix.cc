// Finding serial ports on Linux, from sysfs and /dev. Nothing is opened:
// opening a port can raise DTR and reset what hangs on it.
#include <algorithm>
#include <cctype>
#include <exception>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>

#include "receipt/serial/serial_ports.h"

namespace qj570 {
namespace {

namespace fs = std::filesystem;

// The serial core's "type" attribute: 0 (PORT_UNKNOWN) where no UART
// answered when the port was probed.
bool UartAnswers(const fs::path& sys_tty) {
  std::ifstream type(sys_tty / "type");
  int value = 0;
  return static_cast<bool>(type >> value) && value != 0;
}

bool IsSerialName(std::string_view name, const fs::path& sys_tty) {
  if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) {
    return true;
  }
  return name.starts_with("ttyS") && UartAnswers(sys_tty);
}

// ttyS2 before ttyS10.
auto SortKey(const std::string& device) {
  const auto digits = device.find_first_of("0123456789");
  const std::string stem = device.substr(0, digits);
  const std::string number = digits == std::string::npos ? "" : device.substr(digits);
  return std::make_tuple(stem, number.size(), number);
}

// The iterators advance with error codes: the range-for's would throw.
void Find(const fs::path& root, std::vector<SerialPortInfo>& ports) {
  std::error_code error;
  for (fs::directory_iterator entry(root / "sys/class/tty", error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    std::error_code missing;
    if (IsSerialName(name, entry->path()) && fs::exists(root / "dev" / name, missing)) {
      ports.emplace_back("/dev/" + name);
    }
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return SortKey(a.device) < SortKey(b.device);
  });
  // udev's stable names are links such as ../../ttyUSB0.
  std::error_code listing;
  for (fs::directory_iterator link(root / "dev/serial/by-id", listing), end;
       !listing && link != end; link.increment(listing)) {
    std::error_code unreadable;
    const std::string target = fs::read_symlink(link->path(), unreadable).filename().string();
    for (SerialPortInfo& port : ports) {
      if (!target.empty() && port.device == "/dev/" + target) {
        port.aliases.push_back("/dev/serial/by-id/" + link->path().filename().string());
        std::sort(port.aliases.begin(), port.aliases.end());
      }
    }
  }
}

}  // namespace

std::vector<SerialPortInfo> FindSerialPortsUnder(const fs::path& root) noexcept {
  std::vector<SerialPortInfo> ports;
  // Only a failure needs the list: one that cannot be read is no reason for
  // another failure, so nothing here throws.
  try {
    Find(root, ports);
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stays
  }
  return ports;
}

std::vector<SerialPortInfo> FindSerialPorts() noexcept { return FindSerialPortsUnder("/"); }

}  // namespace qj570
