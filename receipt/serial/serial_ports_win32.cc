// Finding serial ports on Windows. SetupAPI knows each port's device: its
// friendly name ("USB Serial Port (COM3)", as Device Manager shows it), its
// hardware id and maker. Every driver that makes a COM port also lists it
// under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which catches the ports of
// drivers SetupAPI does not file under Ports. Nothing is opened.
#include <windows.h>
// After windows.h, which they need.
#include <initguid.h>
// initguid.h first, so that this file holds GUID_DEVCLASS_PORTS.
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570 {
namespace {

// COM3 -> 3; the names come from PortFromUserName, so they are well formed.
unsigned PortNumber(const std::string& port) {
  unsigned number = 0;
  for (const char c : std::string_view(port).substr(3)) {
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

// Port names are ASCII: COM1 ... COM255.
std::optional<std::string> PortName(const std::wstring& wide) {
  std::string narrow;
  for (const wchar_t c : wide) {
    narrow += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return PortFromUserName(narrow);
}

// A string property of a device; for a list (REG_MULTI_SZ), its first.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  std::array<wchar_t, 512> text{};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(text.data()),  // NOLINT
                                         sizeof(text) - 2 * sizeof(wchar_t), nullptr)) {
    return "";
  }
  return Utf8(text.data());
}

// "USB\VID_0403&PID_6001&REV_0600", "FTDIBUS\VID_0403+PID_6001+A10K1X2BA":
// the 4 hex digits after `key`.
std::uint16_t IdAfter(std::string_view hardware_id, std::string_view key) {
  const auto at = hardware_id.find(key);
  std::uint16_t value = 0;
  if (at != std::string_view::npos && hardware_id.size() >= at + key.size() + 4) {
    const char* digits = hardware_id.data() + at + key.size();
    std::from_chars(digits, digits + 4, value, 16);
  }
  return value;
}

PortBus BusOf(std::string_view hardware_id) {
  if (hardware_id.starts_with("BTHENUM\\")) {
    return PortBus::kBluetooth;
  }
  if (hardware_id.find("VID_") != std::string_view::npos) {
    return PortBus::kUsb;
  }
  return hardware_id.empty() ? PortBus::kUnknown : PortBus::kBoard;
}

// The port's name, from its device's own key.
std::optional<std::string> DevicePort(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::array<wchar_t, 64> name{};
  DWORD size = sizeof(name) - sizeof(wchar_t);
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                          reinterpret_cast<BYTE*>(name.data()), &size);  // NOLINT
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) {
    return std::nullopt;
  }
  return PortName(name.data());
}

// Each present device of the Ports class that is a COM port.
void FindDevices(std::vector<SerialPortInfo>& ports) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    return;
  }
  // Given back however the loop ends: the strings below may throw.
  const std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)> owned(
      set, SetupDiDestroyDeviceInfoList);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    const auto name = DevicePort(set, device);
    if (!name) {
      continue;  // a printer port (LPT1), or one with no name
    }
    SerialPortInfo port(*name);
    port.hardware_id = Property(set, device, SPDRP_HARDWAREID);
    port.description = Property(set, device, SPDRP_FRIENDLYNAME);
    // "USB Serial Port (COM3)" names its port once more: once is enough.
    if (const std::string suffix = " (" + *name + ")"; port.description.ends_with(suffix)) {
      port.description.resize(port.description.size() - suffix.size());
    }
    port.manufacturer = Property(set, device, SPDRP_MFG);
    port.bus = BusOf(port.hardware_id);
    port.vendor_id = IdAfter(port.hardware_id, "VID_");
    port.product_id = IdAfter(port.hardware_id, "PID_");
    ports.push_back(std::move(port));
  }
}

// The ports every driver lists; those SetupAPI did not name stay, unnamed.
void FindListed(std::vector<SerialPortInfo>& ports) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  const std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> owned(key,
                                                                                   RegCloseKey);
  for (DWORD index = 0;; ++index) {
    std::array<wchar_t, 256> name{};
    std::array<wchar_t, 64> data{};
    DWORD name_size = name.size();
    DWORD data_size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS status =
        RegEnumValueW(key, index, name.data(), &name_size, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()), &data_size);  // NOLINT
    if (status == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) {
      continue;
    }
    const auto port = PortName(data.data());
    if (port && std::none_of(ports.begin(), ports.end(),
                             [&](const SerialPortInfo& known) { return known.device == *port; })) {
      ports.emplace_back(*port);
    }
  }
}

}  // namespace

std::vector<SerialPortInfo> FindSerialPorts() noexcept {
  std::vector<SerialPortInfo> ports;
  // Only a failure needs the list; it never causes another.
  try {
    FindDevices(ports);
    FindListed(ports);
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
      return PortNumber(a.device) < PortNumber(b.device);
    });
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stays
  }
  return ports;
}

}  // namespace qj570
