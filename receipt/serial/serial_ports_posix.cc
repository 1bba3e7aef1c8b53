// Finding serial ports on Linux, from sysfs and /dev. Nothing is opened:
// opening a port can raise DTR and reset what hangs on it.
#include <algorithm>
#include <cctype>
#include <charconv>
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

// The first line of a sysfs attribute, or "" where there is none.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The subsystem a sysfs device belongs to: "usb", "platform", "tty" ...
std::string Subsystem(const fs::path& device) {
  std::error_code error;
  return fs::read_symlink(device / "subsystem", error).filename().string();
}

// rfcomm's ttys have no device until they are connected, but carry the
// remote's address and channel.
bool IsRfcomm(const fs::path& sys_tty) {
  return Exists(sys_tty / "address") && Exists(sys_tty / "channel");
}

std::uint16_t HexId(const fs::path& file) {
  const std::string text = Attribute(file);
  std::uint16_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return value;
}

// What the USB device (the one with idVendor) says of itself.
void ReadUsbDevice(const fs::path& usb, SerialPortInfo& port) {
  port.manufacturer = Attribute(usb / "manufacturer");
  port.product = Attribute(usb / "product");
  port.serial_number = Attribute(usb / "serial");
  port.vendor_id = HexId(usb / "idVendor");
  port.product_id = HexId(usb / "idProduct");
  port.description = port.product;
}

// The bus of a tty's hardware, from its device's ancestors: the first one
// on USB or Bluetooth decides; a device on neither sits on the board. With
// `port`, a USB device's strings and ids are read into it too.
PortBus BusOf(const fs::path& sys_tty, SerialPortInfo* port) {
  std::error_code error;
  const fs::path device = fs::canonical(sys_tty / "device", error);
  if (error) {
    return IsRfcomm(sys_tty) ? PortBus::kBluetooth : PortBus::kUnknown;
  }
  if (port != nullptr) {
    port->driver = fs::read_symlink(device / "driver", error).filename().string();
  }
  // sysfs is a few levels deep: the walk ends at its top, or at /.
  for (fs::path node = device; node.has_relative_path(); node = node.parent_path()) {
    const std::string subsystem = Subsystem(node);
    if (subsystem == "bluetooth" || subsystem == "rfcomm") {
      return PortBus::kBluetooth;
    }
    if (subsystem == "usb" && Exists(node / "idVendor")) {
      if (port != nullptr) {
        ReadUsbDevice(node, *port);
      }
      return PortBus::kUsb;
    }
  }
  return PortBus::kBoard;
}

// Hardware behind it: a device, unless the serial core says no UART
// answered (type 0, PORT_UNKNOWN: the 8250 driver's placeholders); or an
// rfcomm link. Virtual consoles, ptys and gadget ports have neither.
bool HasHardware(const fs::path& sys_tty) {
  if (!Exists(sys_tty / "device")) {
    return IsRfcomm(sys_tty);
  }
  if (!Exists(sys_tty / "type")) {
    return true;
  }
  std::ifstream type(sys_tty / "type");
  int value = 0;
  return static_cast<bool>(type >> value) && value != 0;
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
    if (HasHardware(entry->path()) && Exists(root / "dev" / name)) {
      SerialPortInfo port("/dev/" + name);
      port.bus = BusOf(entry->path(), &port);
      ports.push_back(std::move(port));
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

PortBus BusOfTty(const fs::path& root, unsigned major, unsigned minor) noexcept {
  try {
    // Every job asks, mostly of a pty, which sysfs lacks: one look for that.
    const fs::path tty =
        root / "sys/dev/char" / (std::to_string(major) + ":" + std::to_string(minor));
    return Exists(tty) ? BusOf(tty, nullptr) : PortBus::kUnknown;
  } catch (const std::exception&) {
    return PortBus::kUnknown;
  }
}

}  // namespace qj570
