#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qj570 {

// Where a port's hardware hangs. A port on USB or Bluetooth can vanish at
// any moment; one on the board cannot.
enum class PortBus : std::uint8_t { kUnknown, kBoard, kUsb, kBluetooth };

// A serial port that exists and has hardware behind it, with what the
// system knows of it (the fields pyserial's list_ports and libserialport
// give). Fields the system does not know stay empty or 0.
struct SerialPortInfo {
  SerialPortInfo() = default;
  // NOLINTNEXTLINE(google-explicit-constructor): lists of ports are written as {device, aliases}
  SerialPortInfo(std::string device, std::vector<std::string> aliases = {})
      : device(std::move(device)), aliases(std::move(aliases)) {}

  std::string device;                // /dev/ttyUSB0, COM3
  std::vector<std::string> aliases;  // stable names: /dev/serial/by-id/...
  PortBus bus = PortBus::kUnknown;
  std::string driver;         // Linux: ftdi_sio, cdc_acm, serial8250 ...
  std::string description;    // a person's name for it: the USB product, Windows' friendly name
  std::string manufacturer;   // USB iManufacturer
  std::string product;        // USB iProduct
  std::string serial_number;  // USB iSerialNumber
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string hardware_id;  // Windows: SetupAPI's first hardware id
};

// The serial ports of this computer, sorted by name. Never opens a port and
// never throws: what cannot be read is left out. Linux reads sysfs and /dev
// (a tty counts where sysfs shows hardware behind it, so the placeholders
// of the 8250 driver are left out); Windows asks SetupAPI and
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
std::vector<SerialPortInfo> FindSerialPorts() noexcept;

// Linux: the same below `root`, a tree that holds sys/ and dev/.
std::vector<SerialPortInfo> FindSerialPortsUnder(const std::filesystem::path& root) noexcept;

// Linux: the bus of the tty whose device number is major:minor, from
// root/sys/dev/char. Cheap enough for every job; kUnknown for what sysfs
// does not know, such as a pty.
PortBus BusOfTty(const std::filesystem::path& root, unsigned major, unsigned minor) noexcept;

}  // namespace qj570
