#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "receipt/cp950.h"
#include "receipt/printer_line.h"

namespace qj570 {

// A failed serial link operation: the number the operating system gave
// (errno, or GetLastError on Windows) and a description that names the step
// and the device, as the user is shown them.
class LinkError : public std::runtime_error {
 public:
  LinkError(std::int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  [[nodiscard]] std::int32_t number() const noexcept { return number_; }
  [[nodiscard]] std::string description() const { return what(); }

 private:
  std::int32_t number_;
};

enum class Parity : std::uint8_t { kNone };
enum class StopBits : std::uint8_t { kOne };
enum class FlowControl : std::uint8_t { kNone };

// The line as the printer expects it. Fixed at build time: nothing at run
// time can change it.
struct PortSettings {
  unsigned baud = 9600;
  unsigned data_bits = 8;
  Parity parity = Parity::kNone;
  StopBits stop_bits = StopBits::kOne;
  FlowControl flow_control = FlowControl::kNone;
  bool dtr = true;   // raised while the port is open
  bool rts = false;  // never raised
  unsigned receive_buffer = 1024;
  unsigned transmit_buffer = 512;
};
inline constexpr PortSettings kPortSettings{};

// The device that stands for serial port 1: /dev/ttyS0 (or the build's
// QJ570_PORT_DEVICE) on Linux, COM1 on Windows.
const char* DefaultPort() noexcept;

// Sends printer lines to one serial port. The port is held only between
// open() and close(); the link itself lives as long as its owner.
// Not thread-safe: one caller at a time.
class SerialLink {
 public:
  explicit SerialLink(std::string device = DefaultPort());
  // Releases a port that is still held (after a failed write) without
  // waiting for the line. Never throws.
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;
  SerialLink(SerialLink&&) = delete;
  SerialLink& operator=(SerialLink&&) = delete;

  // Takes the port exclusively with kPortSettings. On failure the port
  // stays closed and nothing has been sent.
  void open();
  // Encodes the whole line first, then queues every byte of it behind
  // earlier writes. Returns without waiting for the line. A character with
  // no code fails before a single byte of the line is queued.
  void write(const PrinterLine& line);
  // A write only hands bytes to the OS: waits until they have left the
  // port, then lets it go. The port is let go even when that wait fails.
  void close();

  [[nodiscard]] bool is_open() const noexcept;
  [[nodiscard]] const std::string& device() const noexcept { return device_; }

 private:
  static constexpr std::intptr_t kNoHandle = -1;

  // Each platform's file provides these.
  void WriteBytes(const std::string& bytes);
  void Release() noexcept;
  static const std::int32_t kNotOpenError;      // the platform's number for it
  static const std::int32_t kUnencodableError;  // likewise

  [[noreturn]] void FailNotOpen(const char* step) const;
  [[noreturn]] void FailUnencodable(const EncodeError& error) const;

  std::string device_;
  std::intptr_t handle_ = kNoHandle;  // fd on POSIX, HANDLE on Windows
};

}  // namespace qj570
