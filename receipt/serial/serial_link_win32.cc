// Serial ports through the Win32 communications API. A port is opened for
// exclusive use (share mode 0); a second opener gets "access denied".
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "receipt/serial/serial_link.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570 {
namespace {

HANDLE AsHandle(const PortHandle& port) {
  return reinterpret_cast<HANDLE>(port.get());  // NOLINT: the handle is kept as an integer
}

// Throws away what the driver still has to send, and ends a write.
void Purge(HANDLE port) { PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR); }

// A port to close on a thread of its own, and what to do then.
struct Abandoned {
  PortHandle port;
  std::function<void()> closed;
};

// The purge comes first, here: it waits for a flush still under way on the
// same port, which the window's thread must not.
DWORD WINAPI CloseOnItsOwn(void* abandoned) {
  const std::unique_ptr<Abandoned> owned(static_cast<Abandoned*>(abandoned));
  Purge(AsHandle(owned->port));
  (void)owned->port.Close();
  owned->closed();
  return 0;
}

// A write takes the device this much at a time, so that it is seen taking
// data at least every 64 bytes: a time-out tells only that a piece was not
// all taken, and a device that takes less than 64 bytes in kStallMargin
// has stalled.
constexpr std::size_t kWritePiece = 64;

// A FlushFileBuffers on a thread of its own, shared by that thread and the
// drain that waits for it. Whichever of the two is left last gives back the
// device's place in the record of ports being let go.
struct Flushing {
  Flushing(HANDLE own, void (*release)(const std::string&) noexcept)
      : port(own), release_device(release) {}
  // The flush has ended: gives back the record if nobody waits any more.
  void Ended(DWORD result) noexcept {
    error.store(result);
    if (state.exchange(kEnded) == kAbandoned && !abandoned.empty()) {
      release_device(abandoned);
    }
  }
  // The drain gives up waiting; false if the flush has ended meanwhile.
  bool Abandon() noexcept {
    int waiting = kWaiting;
    return state.compare_exchange_strong(waiting, kAbandoned);
  }

  static constexpr int kWaiting = 0;
  static constexpr int kEnded = 1;
  static constexpr int kAbandoned = 2;
  HANDLE port;  // the thread's own, a duplicate of the link's
  void (*release_device)(const std::string&) noexcept;
  std::atomic<int> state{kWaiting};
  std::atomic<DWORD> error{0};
  std::string abandoned;  // the device held in the record, set before Abandon()
};

DWORD WINAPI FlushOnItsOwn(void* flushing) {
  const std::unique_ptr<std::shared_ptr<Flushing>> owned(
      static_cast<std::shared_ptr<Flushing>*>(flushing));
  Flushing& state = **owned;
  const DWORD result = FlushFileBuffers(state.port) != 0 ? 0 : GetLastError();
  CloseHandle(state.port);
  state.Ended(result);
  return 0;
}

// GetLastError's numbers, with the system's text in UTF-8, without the
// full stop and CR/LF that FormatMessage ends it with.
class WindowsCategory : public std::error_category {
 public:
  [[nodiscard]] const char* name() const noexcept override { return "windows"; }
  [[nodiscard]] std::string message(int value) const override {
    const auto number = static_cast<DWORD>(value);
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, number, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);  // NOLINT
    std::wstring_view wide(text != nullptr ? text : L"", length);
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ' ||
                             wide.back() == L'.')) {
      wide.remove_suffix(1);
    }
    std::string utf8 = wide.empty() ? "error " + std::to_string(number) : Utf8(wide);
    LocalFree(text);
    return utf8;
  }
};

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

const std::error_category& SystemCategory() noexcept {
  static const WindowsCategory category;
  return category;
}

std::error_code SerialLink::LastError() noexcept {
  return {static_cast<int>(GetLastError()), SystemCategory()};
}

PortTrouble SerialLink::TroubleOf(std::error_code error, const std::string& /*device*/) noexcept {
  switch (static_cast<DWORD>(error.value())) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PortTrouble::kMissing;
    case ERROR_ACCESS_DENIED:  // share mode 0: someone else has it open
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortTrouble::kBusy;
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
      return PortTrouble::kNoHardware;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:  // a USB adapter pulled while in use
    case ERROR_OPERATION_ABORTED:
      return PortTrouble::kGone;
    case ERROR_INVALID_FUNCTION:  // GetCommState on something that is no port
    case ERROR_NOT_SUPPORTED:
      return PortTrouble::kNotSerialPort;
    default:
      return PortTrouble::kOther;
  }
}

// DTR drops with the handle.
std::error_code PortHandle::Close() noexcept {
  const HANDLE handle = reinterpret_cast<HANDLE>(std::exchange(native_, kNone));  // NOLINT
  if (handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != 0) {
    return {};
  }
  return {static_cast<int>(GetLastError()), SystemCategory()};
}

bool SerialLink::CanSet(const PortSettings& settings) noexcept {
  return settings.data_bits >= 5 && settings.data_bits <= 8;
}

PortHandle SerialLink::OpenPort() const {
  // \\.\COMn reaches every port, COM10 and above included.
  PortHandle port(reinterpret_cast<PortHandle::Native>(  // NOLINT
      CreateFileW(Wide("\\\\.\\" + device_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                  OPEN_EXISTING, 0, nullptr)));
  if (!port.valid()) {
    Fail(LinkStep::kOpen, LastError());
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (GetCommState(AsHandle(port), &dcb) == 0) {
    Fail(LinkStep::kCheck, LastError());
  }
  ApplyLineSettings(dcb, settings_);
  DCB got{};
  got.DCBlength = sizeof(got);
  if (SetupComm(AsHandle(port), settings_.receive_buffer, settings_.transmit_buffer) == 0 ||
      SetCommState(AsHandle(port), &dcb) == 0 || GetCommState(AsHandle(port), &got) == 0) {
    Fail(LinkStep::kSetLine, LastError());
  }
  if (!SettingsTook(dcb, got)) {
    Fail(LinkStep::kSetLine, LinkErrc::kSettingsNotTaken);
  }
  return port;
}

std::size_t SerialLink::Queued(const PortHandle& port) noexcept {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(AsHandle(port), &errors, &status) != 0 ? status.cbOutQue : 0;
}

std::error_code SerialLink::WriteAll(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    // Each piece may take what is left until the device stalls. A constant
    // and a multiplier of 0 mean no time-out at all: once no time is left,
    // the device has stalled.
    const int left = MillisecondsUntil(watch_.Look(Clock::now()));
    if (left <= 0) {
      return LinkErrc::kStalled;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(left);
    if (SetCommTimeouts(AsHandle(port_), &timeouts) == 0) {
      return LastError();
    }
    const auto piece = static_cast<DWORD>(std::min(bytes.size(), kWritePiece));
    DWORD written = 0;
    if (WriteFile(AsHandle(port_), bytes.data(), piece, &written, nullptr) == 0) {
      // Several USB serial drivers fail a write that timed out so, without
      // saying how much of it went: it is never sent again.
      return GetLastError() == ERROR_SEM_TIMEOUT ? std::error_code(LinkErrc::kStalled)
                                                 : LastError();
    }
    if (written < piece) {  // the time ran out before the device took a piece
      return LinkErrc::kStalled;
    }
    bytes.remove_prefix(written);
    watch_.Wrote();
  }
  return {};
}

void SerialLink::PauseForQueue() noexcept { Sleep(5); }

std::error_code SerialLink::DrainRest(const PortHandle& port) noexcept {
  return FlushFileBuffers(AsHandle(port)) != 0 ? std::error_code() : LastError();
}

// A flush on a thread of its own, with its own handle: the link's may be
// closed while it still waits. If the deadline passes first, the flush is
// cancelled where the driver allows, and the device is held in the record
// of ports being let go until the flush ends.
std::error_code SerialLink::DrainWithin(Clock::time_point deadline) const noexcept {
  HANDLE own = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), AsHandle(port_), GetCurrentProcess(), &own, 0, FALSE,
                      DUPLICATE_SAME_ACCESS) == 0) {
    return LastError();
  }
  std::unique_ptr<std::shared_ptr<Flushing>> for_thread;
  try {
    for_thread = std::make_unique<std::shared_ptr<Flushing>>(
        std::make_shared<Flushing>(own, &ReleaseLettingGo));
  } catch (const std::exception&) {
    CloseHandle(own);
    return {ERROR_NOT_ENOUGH_MEMORY, SystemCategory()};
  }
  const std::shared_ptr<Flushing> flushing = *for_thread;
  const HANDLE thread = CreateThread(nullptr, 0, FlushOnItsOwn, for_thread.get(), 0, nullptr);
  if (thread == nullptr) {
    const std::error_code error = LastError();
    CloseHandle(own);
    return error;
  }
  static_cast<void>(for_thread.release());  // the thread's from now on
  const bool ended =
      WaitForSingleObject(thread, static_cast<DWORD>(MillisecondsUntil(deadline))) == WAIT_OBJECT_0;
  if (!ended) {
    try {
      flushing->abandoned = Identity();
      HoldLettingGo(flushing->abandoned);
    } catch (const std::exception&) {  // the record is a courtesy
      flushing->abandoned.clear();
    }
    if (flushing->Abandon()) {
      CancelSynchronousIo(thread);
      CloseHandle(thread);
      return LinkErrc::kStalled;
    }
    ReleaseLettingGo(flushing->abandoned);  // it ended just now
  }
  CloseHandle(thread);
  const DWORD error = flushing->error.load();
  return error == 0 ? std::error_code()
                    : std::error_code(static_cast<int>(error), SystemCategory());
}

// Windows tells a vanished USB port by failing calls on its handle.
std::error_code SerialLink::StillThere(const PortHandle& port) noexcept {
  DWORD errors = 0;
  return ClearCommError(AsHandle(port), &errors, nullptr) != 0 ? std::error_code() : LastError();
}

std::string SerialLink::IdentityOf(const std::string& device) noexcept {
  try {
    return PortFromUserName(device).value_or(device);  // COM3, however it was written
  } catch (const std::exception&) {
    return {};
  }
}

std::string SerialLink::Identity() const noexcept { return IdentityOf(device_); }

void SerialLink::DiscardQueued(const PortHandle& port) noexcept { Purge(AsHandle(port)); }

void SerialLink::Abandon(PortHandle port, const std::function<void()>& closed) noexcept {
  auto* abandoned = new (std::nothrow) Abandoned{std::move(port), closed};
  if (abandoned == nullptr) {  // nothing was moved
    DiscardQueued(port);
    (void)port.Close();
    closed();
    return;
  }
  const HANDLE closer = CreateThread(nullptr, 0, CloseOnItsOwn, abandoned, 0, nullptr);
  if (closer != nullptr) {
    CloseHandle(closer);
    return;
  }
  CloseOnItsOwn(abandoned);  // no thread to be had: here, at the cost of the wait
}

}  // namespace qj570
