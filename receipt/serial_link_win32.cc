// Serial port 1 through the Win32 communications API. COM1 is opened for
// exclusive use (share mode 0); a second opener gets "access denied".
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "receipt/serial_link.h"

namespace qj570 {
namespace {

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT: the link stores it as an integer
}

// The system's text for an error number, in UTF-8, without the CR/LF that
// FormatMessage ends it with.
std::string SystemMessage(DWORD number) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);  // NOLINT
  std::wstring wide(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
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

// "cannot open serial port COM1: Access denied. (hint)"
[[noreturn]] void Fail(DWORD number, const char* what, const std::string& device,
                       const char* hint = "") {
  throw LinkError(static_cast<std::int32_t>(number),
                  std::string(what) + " " + device + ": " + SystemMessage(number) + hint);
}

// The failure of the call that just returned; nothing runs before
// GetLastError is read.
[[noreturn]] void FailLastError(const char* what, const std::string& device) {
  const DWORD number = GetLastError();
  Fail(number, what, device, number == ERROR_ACCESS_DENIED ? " (another program is using it)" : "");
}

// Owns the handle while the port is being opened, so that every failure on
// the way closes it.
class PortHandle {
 public:
  explicit PortHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~PortHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
    }
  }
  PortHandle(const PortHandle&) = delete;
  PortHandle& operator=(const PortHandle&) = delete;
  PortHandle(PortHandle&&) = delete;
  PortHandle& operator=(PortHandle&&) = delete;

  [[nodiscard]] HANDLE get() const noexcept { return handle_; }
  HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// Every field set: 9600 baud, 8 data bits, no parity, 1 stop bit, binary, no
// flow control of any kind, DTR up while open, RTS down.
DCB LineSettings() {
  static_assert(kPortSettings.baud == 9600 && kPortSettings.data_bits == 8);
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  dcb.BaudRate = CBR_9600;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  dcb.wReserved = 0;
  dcb.XonLim = kPortSettings.receive_buffer / 4;
  dcb.XoffLim = kPortSettings.receive_buffer / 4;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';  // replaces bytes with parity errors, were that on
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  dcb.wReserved1 = 0;
  return dcb;
}

}  // namespace

const char* DefaultPort() noexcept { return "COM1"; }

void SerialLink::open() {
  if (is_open()) {
    Fail(ERROR_BUSY, "cannot open serial port", device_, " (it is already open)");
  }
  // \\.\COMn reaches every port, COM10 and above included.
  const std::wstring path = L"\\\\.\\" + std::wstring(device_.begin(), device_.end());
  PortHandle port(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr));
  if (port.get() == INVALID_HANDLE_VALUE) {
    FailLastError("cannot open serial port", device_);
  }
  if (SetupComm(port.get(), kPortSettings.receive_buffer, kPortSettings.transmit_buffer) == 0) {
    FailLastError("cannot set the buffers of serial port", device_);
  }
  DCB dcb = LineSettings();
  if (SetCommState(port.get(), &dcb) == 0) {
    FailLastError("cannot set the line of serial port", device_);
  }
  // No time-outs: a write returns once all of it is queued.
  COMMTIMEOUTS timeouts{};
  if (SetCommTimeouts(port.get(), &timeouts) == 0) {
    FailLastError("cannot set the time-outs of serial port", device_);
  }
  handle_ = reinterpret_cast<std::intptr_t>(port.release());  // NOLINT
}

void SerialLink::WriteBytes(const std::string& bytes) {
  const char* p = bytes.data();
  DWORD left = static_cast<DWORD>(bytes.size());
  while (left > 0) {
    DWORD written = 0;
    if (WriteFile(AsHandle(handle_), p, left, &written, nullptr) == 0) {
      FailLastError("cannot write to serial port", device_);
    }
    if (written == 0) {
      Fail(ERROR_WRITE_FAULT, "cannot write to serial port", device_, " (nothing was accepted)");
    }
    p += written;
    left -= written;
  }
}

void SerialLink::close() {
  if (!is_open()) {
    FailNotOpen("close");
  }
  const HANDLE port = AsHandle(std::exchange(handle_, kNoHandle));
  // A write only hands bytes to the driver: wait until they have left.
  const BOOL flushed = FlushFileBuffers(port);
  const DWORD flush_error = GetLastError();
  const BOOL closed = CloseHandle(port);
  if (flushed == 0) {
    Fail(flush_error, "cannot send the rest of the data to serial port", device_);
  }
  if (closed == 0) {
    FailLastError("cannot close serial port", device_);
  }
}

void SerialLink::Release() noexcept {
  if (is_open()) {
    CloseHandle(AsHandle(std::exchange(handle_, kNoHandle)));
  }
}

const std::int32_t SerialLink::kNotOpenError = ERROR_INVALID_HANDLE;
const std::int32_t SerialLink::kUnencodableError = ERROR_NO_UNICODE_TRANSLATION;

}  // namespace qj570
