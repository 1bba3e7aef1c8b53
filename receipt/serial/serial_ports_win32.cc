// Finding serial ports on Windows: every driver that makes a COM port lists
// it under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Nothing is opened.
#include <windows.h>

#include <algorithm>
#include <array>
#include <string>

#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"

namespace qj570 {
namespace {

unsigned PortNumber(const std::string& port) { return std::stoul(port.substr(3)); }

}  // namespace

std::vector<SerialPortInfo> FindSerialPorts() {
  std::vector<SerialPortInfo> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
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
    const std::wstring wide(data.data());
    // Port names are ASCII: COM1 ... COM255.
    if (const auto port = PortFromUserName(std::string(wide.begin(), wide.end()))) {
      ports.push_back({*port, {}});
    }
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return PortNumber(a.device) < PortNumber(b.device);
  });
  return ports;
}

}  // namespace qj570
