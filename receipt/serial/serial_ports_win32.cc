// Finding serial ports on Windows: every driver that makes a COM port lists
// it under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Nothing is opened.
#include <windows.h>

#include <algorithm>
#include <array>
#include <exception>
#include <string>
#include <string_view>

#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"

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

void Find(std::vector<SerialPortInfo>& ports) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
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
      ports.emplace_back(*port);
    }
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return PortNumber(a.device) < PortNumber(b.device);
  });
}

}  // namespace

std::vector<SerialPortInfo> FindSerialPorts() noexcept {
  std::vector<SerialPortInfo> ports;
  // Only a failure needs the list; it never causes another.
  try {
    Find(ports);
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stays
  }
  return ports;
}

}  // namespace qj570
