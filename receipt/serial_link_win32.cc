// Serial ports through the Win32 communications API. A port is opened for
// exclusive use (share mode 0); a second opener gets "access denied".
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <utility>

#include "receipt/serial_link.h"

namespace qj570 {
namespace {

HANDLE AsHandle(const PortHandle& port) {
  return reinterpret_cast<HANDLE>(port.get());  // NOLINT: the handle is kept as an integer
}

// The system's text for an error number, in UTF-8, without the full stop
// and CR/LF that FormatMessage ends it with.
std::string SystemMessage(DWORD number) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);  // NOLINT
  std::wstring wide(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ' ||
                           wide.back() == L'.')) {
    wide.pop_back();
  }
  if (wide.empty()) {
    return "error " + std::to_string(number);
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

PortTrouble TroubleOf(DWORD number) {
  switch (number) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PortTrouble::kMissing;
    case ERROR_ACCESS_DENIED:  // share mode 0: someone else has it open
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortTrouble::kBusy;
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
      return PortTrouble::kNoHardware;
    case ERROR_INVALID_FUNCTION:  // GetCommState on something that is no port
    case ERROR_NOT_SUPPORTED:
      return PortTrouble::kNotTerminal;
    default:
      return PortTrouble::kOther;
  }
}

[[noreturn]] void Fail(DWORD number, const char* step, const std::string& device,
                       LinkError::Step when, PortTrouble trouble) {
  throw LinkError(static_cast<std::int32_t>(number),
                  PortFailure(step, device, SystemMessage(number), trouble), when);
}

// The failure of the call that just returned, while the port is being
// opened; nothing runs before GetLastError is read.
[[noreturn]] void FailOpening(const char* step, const std::string& device) {
  const DWORD number = GetLastError();
  Fail(number, step, device, LinkError::Step::kOpen, TroubleOf(number));
}

// The same on a port that was open: it can only have gone away.
[[noreturn]] void FailUsing(const char* step, const std::string& device) {
  const DWORD number = GetLastError();
  const bool gone = number == ERROR_DEVICE_NOT_CONNECTED || number == ERROR_BAD_COMMAND ||
                    number == ERROR_GEN_FAILURE || number == ERROR_OPERATION_ABORTED;
  Fail(number, step, device, LinkError::Step::kUse,
       gone ? PortTrouble::kGone : PortTrouble::kOther);
}

BYTE ParityOf(Parity parity) {
  switch (parity) {
    case Parity::kOdd:
      return ODDPARITY;
    case Parity::kEven:
      return EVENPARITY;
    case Parity::kNone:
      break;
  }
  return NOPARITY;
}

// Every field set from the settings: binary, no flow control beyond what
// they ask for, DTR up while open.
void ApplyLineSettings(DCB& dcb, const PortSettings& settings) {
  const bool rts_cts = settings.flow_control == FlowControl::kRtsCts;
  const bool xon_xoff = settings.flow_control == FlowControl::kXonXoff;
  dcb.BaudRate = settings.baud;
  dcb.fBinary = TRUE;
  dcb.fParity = settings.parity != Parity::kNone ? TRUE : FALSE;
  dcb.fOutxCtsFlow = rts_cts ? TRUE : FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = settings.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = xon_xoff ? TRUE : FALSE;
  dcb.fInX = xon_xoff ? TRUE : FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = rts_cts        ? RTS_CONTROL_HANDSHAKE
                    : settings.rts ? RTS_CONTROL_ENABLE
                                   : RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  dcb.XonLim = static_cast<WORD>(settings.receive_buffer / 4);
  dcb.XoffLim = static_cast<WORD>(settings.receive_buffer / 4);
  dcb.ByteSize = static_cast<BYTE>(settings.data_bits);
  dcb.Parity = ParityOf(settings.parity);
  dcb.StopBits = settings.stop_bits == StopBits::kTwo ? TWOSTOPBITS : ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';  // replaces bytes with parity errors, were that on
}

// The line itself. DTR and RTS are left out, as on POSIX: a driver reports
// the lines it sees, and a port with no modem lines sees none.
bool SettingsTook(const DCB& want, const DCB& got) {
  return got.BaudRate == want.BaudRate && got.ByteSize == want.ByteSize &&
         got.Parity == want.Parity && got.StopBits == want.StopBits &&
         got.fOutxCtsFlow == want.fOutxCtsFlow && got.fOutX == want.fOutX && got.fInX == want.fInX;
}

}  // namespace

std::optional<std::string> PortFromUserName(std::string_view name) {
  if (name.starts_with("\\\\.\\")) {
    name.remove_prefix(4);
  }
  if (name.size() < 4 || name.size() > 6) {
    return std::nullopt;
  }
  std::string port = "COM";
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != port[i]) {
      return std::nullopt;
    }
  }
  unsigned number = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number < 1 || number > 255 || name[3] == '0') {
    return std::nullopt;
  }
  return port + std::to_string(number);
}

std::int32_t PortHandle::Close() noexcept {
  const HANDLE handle = reinterpret_cast<HANDLE>(std::exchange(native_, kNone));  // NOLINT
  if (handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != 0) {
    return 0;
  }
  return static_cast<std::int32_t>(GetLastError());
}

void SerialLink::open() {
  if (is_open()) {
    Fail(ERROR_BUSY, "cannot open serial port", device_, LinkError::Step::kUse,
         PortTrouble::kOther);
  }
  // \\.\COMn reaches every port, COM10 and above included.
  const std::wstring path = L"\\\\.\\" + std::wstring(device_.begin(), device_.end());
  PortHandle port(reinterpret_cast<PortHandle::Native>(  // NOLINT
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                  nullptr)));
  if (!port.valid()) {
    FailOpening("cannot open serial port", device_);
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (GetCommState(AsHandle(port), &dcb) == 0) {
    FailOpening("cannot use serial port", device_);
  }
  if (SetupComm(AsHandle(port), settings_.receive_buffer, settings_.transmit_buffer) == 0) {
    FailOpening("cannot set the buffers of serial port", device_);
  }
  ApplyLineSettings(dcb, settings_);
  if (SetCommState(AsHandle(port), &dcb) == 0) {
    FailOpening("cannot set the line of serial port", device_);
  }
  DCB got{};
  got.DCBlength = sizeof(got);
  if (GetCommState(AsHandle(port), &got) == 0) {
    FailOpening("cannot read back the line of serial port", device_);
  }
  if (!SettingsTook(dcb, got)) {
    FailLine(ERROR_INVALID_PARAMETER, "the driver did not take");
  }
  // No time-outs: a write returns once all of it is queued.
  COMMTIMEOUTS timeouts{};
  if (SetCommTimeouts(AsHandle(port), &timeouts) == 0) {
    FailOpening("cannot set the time-outs of serial port", device_);
  }
  port_ = std::move(port);
}

void SerialLink::WriteBytes(const std::string& bytes) {
  const char* p = bytes.data();
  DWORD left = static_cast<DWORD>(bytes.size());
  while (left > 0) {
    DWORD written = 0;
    if (WriteFile(AsHandle(port_), p, left, &written, nullptr) == 0) {
      FailUsing("cannot write to serial port", device_);
    }
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      FailUsing("cannot write to serial port", device_);
    }
    p += written;
    left -= written;
  }
}

void SerialLink::close() {
  if (!is_open()) {
    FailNotOpen("close");
  }
  PortHandle port = std::move(port_);
  // A write only hands bytes to the driver: wait until they have left.
  const BOOL flushed = FlushFileBuffers(AsHandle(port));
  const DWORD flush_error = GetLastError();
  const std::int32_t close_error = port.Close();  // DTR drops with the handle
  if (flushed == 0) {
    SetLastError(flush_error);
    FailUsing("cannot send the rest of the data to serial port", device_);
  }
  if (close_error != 0) {
    SetLastError(static_cast<DWORD>(close_error));
    FailUsing("cannot close serial port", device_);
  }
}

void SerialLink::Release() noexcept { (void)port_.Close(); }

const std::int32_t SerialLink::kNotOpenError = ERROR_INVALID_HANDLE;
const std::int32_t SerialLink::kUnencodableError = ERROR_NO_UNICODE_TRANSLATION;

}  // namespace qj570
