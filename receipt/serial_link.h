#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "receipt/cp950.h"
#include "receipt/printer_line.h"

namespace qj570 {

// A failed serial link operation: the number the operating system gave
// (errno, or GetLastError on Windows) and, as what(), a description that
// names the step and the device and says what to do next.
class LinkError : public std::runtime_error {
 public:
  // kOpen: the port could not be taken at all, so another port may be the
  // answer. kUse: a later step failed on a port that was open.
  enum class Step : std::uint8_t { kOpen, kUse };

  LinkError(std::int32_t number, const std::string& description, Step step = Step::kUse)
      : std::runtime_error(description), number_(number), step_(step) {}
  [[nodiscard]] std::int32_t number() const noexcept { return number_; }
  [[nodiscard]] Step step() const noexcept { return step_; }

 private:
  std::int32_t number_;
  Step step_;
};

enum class Parity : std::uint8_t { kNone, kOdd, kEven };
enum class StopBits : std::uint8_t { kOne, kTwo };
enum class FlowControl : std::uint8_t { kNone, kRtsCts, kXonXoff };

// How the line is set up. The backends apply every field and read the line
// back to check that it took.
struct PortSettings {
  unsigned baud = 9600;
  unsigned data_bits = 8;  // 5 to 8
  Parity parity = Parity::kNone;
  StopBits stop_bits = StopBits::kOne;
  FlowControl flow_control = FlowControl::kNone;
  bool dtr = true;   // raised while the port is open, dropped when it is let go
  bool rts = false;  // with kRtsCts the driver drives RTS instead
  // Driver queue sizes. Windows takes them as a request; Linux's are fixed.
  unsigned receive_buffer = 1024;
  unsigned transmit_buffer = 512;
};
// The printer's line: 9600 baud, 8N1, no flow control, DTR up, RTS down.
inline constexpr PortSettings kPortSettings{};

// "9600 baud, 8 data bits, no parity, 1 stop bit, no flow control"
std::string DescribeLine(const PortSettings& settings);

// The device that stands for serial port 1 (set when the program is built:
// /dev/ttyS0 on Linux, COM1 on Windows).
const char* DefaultPort() noexcept;

// The port a user named (--port), in the form the link takes: any device
// path on POSIX; on Windows COMn, also written \\.\COMn. Empty when the name
// cannot be a port here.
std::optional<std::string> PortFromUserName(std::string_view name);

// Owns the operating system's handle of an open port (a descriptor on
// POSIX, a HANDLE on Windows) from open to close. Move-only; the destructor
// closes it and never throws.
class PortHandle {
 public:
  using Native = std::intptr_t;
  static constexpr Native kNone = -1;

  PortHandle() noexcept = default;
  explicit PortHandle(Native native) noexcept : native_(native) {}
  ~PortHandle() { (void)Close(); }
  PortHandle(PortHandle&& other) noexcept : native_(std::exchange(other.native_, kNone)) {}
  PortHandle& operator=(PortHandle&& other) noexcept {
    if (this != &other) {
      (void)Close();
      native_ = std::exchange(other.native_, kNone);
    }
    return *this;
  }
  PortHandle(const PortHandle&) = delete;
  PortHandle& operator=(const PortHandle&) = delete;

  [[nodiscard]] Native get() const noexcept { return native_; }
  [[nodiscard]] bool valid() const noexcept { return native_ != kNone; }
  // Closes it now. Returns 0 or the system's error number; the handle is
  // gone either way, so a close is never retried.
  std::int32_t Close() noexcept;

 private:
  Native native_ = kNone;
};

// Sends printer lines to one serial port. The port is held only between
// open() and close(); the link itself lives as long as its owner.
// Not thread-safe: one caller at a time.
class SerialLink {
 public:
  explicit SerialLink(std::string device = DefaultPort(), PortSettings settings = kPortSettings);
  // Releases a port that is still held (after a failed write) without
  // waiting for the line. Never throws.
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;
  SerialLink(SerialLink&&) = delete;
  SerialLink& operator=(SerialLink&&) = delete;

  // Takes the port exclusively with the settings. On failure the port
  // stays closed and nothing has been sent.
  void open();
  // Encodes the whole line first, then queues every byte of it behind
  // earlier writes. Returns without waiting for the line. A character with
  // no code fails before a single byte of the line is queued.
  void write(const PrinterLine& line);
  // A write only hands bytes to the OS: waits until they have left the
  // port, then lets it go. The port is let go even when that wait fails.
  void close();

  [[nodiscard]] bool is_open() const noexcept { return port_.valid(); }
  [[nodiscard]] const std::string& device() const noexcept { return device_; }

 private:
  // Each platform's file provides these.
  void WriteBytes(const std::string& bytes);
  void Release() noexcept;
  static const std::int32_t kNotOpenError;      // the platform's number for it
  static const std::int32_t kUnencodableError;  // likewise

  [[noreturn]] void FailNotOpen(const char* step) const;
  [[noreturn]] void FailUnencodable(const EncodeError& error) const;
  // The line cannot be set as the settings say: `what` is "this system
  // cannot set" or "the driver did not take".
  [[noreturn]] void FailLine(std::int32_t number, const char* what) const;

  std::string device_;
  PortSettings settings_;
  PortHandle port_;
};

// What a failure means for someone at the desk, by what the system said.
enum class PortTrouble : std::uint8_t {
  kOther,
  kMissing,      // no device of that name
  kNoHardware,   // the device exists, but no UART answers behind it
  kPermission,   // not allowed to open it
  kBusy,         // another program holds it
  kNotTerminal,  // a file or device that is no serial port
  kGone          // it stopped answering while open: unplugged, or powered off
};

// "cannot open serial port /dev/ttyS0: No such file or directory. There is
// no device of that name: ..." The system's text, then what it means and
// what to do next.
std::string PortFailure(const char* step, const std::string& device, const std::string& system_text,
                        PortTrouble trouble);

}  // namespace qj570
