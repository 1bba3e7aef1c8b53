#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "receipt/serial/link_error.h"
#include "receipt/serial/port_settings.h"

namespace qj570 {

// The device that stands for serial port 1 (set when the program is built:
// /dev/ttyS0 on Linux, COM1 on Windows).
const char* DefaultPort() noexcept;

// A port name as a person may write it, in the form the link takes: any
// device path on POSIX; on Windows COMn, also written \\.\COMn, in any
// case. Empty when the name cannot be a port here.
std::optional<std::string> PortFromUserName(std::string_view name);

// Owns the operating system's handle of an open port (a descriptor on
// POSIX, a HANDLE on Windows). Move-only; the destructor closes it and
// never throws.
class PortHandle {
 public:
  using Native = std::intptr_t;
  static constexpr Native kNone = -1;

  PortHandle() noexcept = default;
  explicit PortHandle(Native native) noexcept : native_(native) {}
  ~PortHandle() { (void)Close(); }
  PortHandle(PortHandle&& other) noexcept
      : native_(std::exchange(other.native_, kNone)),
        exclusive_(std::exchange(other.exclusive_, false)) {}
  PortHandle& operator=(PortHandle&& other) noexcept {
    if (this != &other) {
      (void)Close();
      native_ = std::exchange(other.native_, kNone);
      exclusive_ = std::exchange(other.exclusive_, false);
    }
    return *this;
  }
  PortHandle(const PortHandle&) = delete;
  PortHandle& operator=(const PortHandle&) = delete;

  [[nodiscard]] Native get() const noexcept { return native_; }
  [[nodiscard]] bool valid() const noexcept { return native_ != kNone; }
  // This handle took the port for exclusive use (POSIX: TIOCEXCL). The
  // flag belongs to the port, not to a descriptor: only the handle that set
  // it may give it up, or a failed second opener would end the first
  // one's exclusive use.
  void set_exclusive() noexcept { exclusive_ = true; }
  // Gives up exclusive use, if this handle took it, and closes the handle
  // now. The handle is gone even when the system reports an error, so a
  // close is never retried.
  std::error_code Close() noexcept;

 private:
  Native native_ = kNone;
  bool exclusive_ = false;
};

// Sends bytes to one serial port, unaltered and in order. The port is held
// only between open() and close(); the link lives as long as its owner.
// Not thread-safe: one caller at a time. Every failure is a LinkError.
//
// No wait is unbounded. A write, and the drain in close(), may take as long
// as the bytes still to send need on the line, plus kStallMargin; past that
// the device is taken to be stalled (a printer switched off, out of paper or
// offline). A stalled port's queued bytes are thrown away where the driver
// can, and the port is let go on a thread of its own: a USB CDC-ACM port
// can neither flush nor close in less than its 30 s closing_wait. Until it
// is closed, every link of this process refuses the device, under any of
// its names, at open() (LinkErrc::kStillLettingGo): the kernel would keep
// the open waiting.
class SerialLink {
 public:
  // How long past the line's own time a device may take no data. A healthy
  // line never comes near it; a printer's buffer, a USB bus or a busy
  // scheduler may hold bytes back for a moment, never for seconds.
  static constexpr std::chrono::milliseconds kStallMargin{5000};
  // How long after the drain a port that can vanish (USB) must stay there
  // for its bytes to count as sent. After an unplug the host controller
  // fails the transfers in flight, and cdc_acm counts a failed transfer as
  // sent, so the drain succeeds; the hangup comes once the hub reports the
  // removal, which a high-speed hub polls for every 256 ms.
  static constexpr std::chrono::milliseconds kHangupGrace{300};

  explicit SerialLink(std::string device = DefaultPort(), PortSettings settings = kPortSettings);
  // A port still held after a failed write is let go without waiting for
  // the line: its queued bytes are thrown away first, or the close would
  // wait for them up to the driver's closing_wait (30 s).
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;
  SerialLink(SerialLink&&) = delete;
  SerialLink& operator=(SerialLink&&) = delete;

  // Takes the port exclusively with the settings. On failure the port
  // stays closed and nothing has been sent.
  void open();
  // Queues every byte behind those of earlier writes. Returns without
  // waiting for the line, unless the driver's queue is full.
  void write(std::string_view bytes);
  // Waits until the queued bytes have left the port, and a port that can
  // vanish is still there, then lets it go: closing at once could throw the
  // bytes away. The port is let go even when that wait fails.
  void close();

  [[nodiscard]] bool is_open() const noexcept { return port_.valid(); }
  [[nodiscard]] const std::string& device() const noexcept { return device_; }
  [[nodiscard]] const PortSettings& settings() const noexcept { return settings_; }
  // Another device for the next open; the port must be closed.
  void set_device(std::string device);

 private:
  using Clock = std::chrono::steady_clock;

  // Each platform's file provides these; they only make system calls.
  [[nodiscard]] PortHandle OpenPort() const;
  [[nodiscard]] static bool CanSet(const PortSettings& settings) noexcept;
  // Bytes in the driver's queue, not yet on the line.
  [[nodiscard]] static std::size_t Queued(const PortHandle& port) noexcept;
  // Both give LinkErrc::kStalled once the line's time for the bytes still to
  // send has passed. The deadline is set when they first have to wait, so
  // that a write the driver takes at once costs nothing more.
  std::error_code WriteAll(std::string_view bytes, Clock::time_point& deadline) const noexcept;
  std::error_code Drain(Clock::time_point& deadline) const noexcept;
  // POSIX: a drain that may wait for ever (flow control on a USB adapter)
  // on a thread of its own, given up at `deadline`.
  std::error_code DrainWithin(Clock::time_point deadline) const noexcept;
  // After the drain: an error if the port has gone in the meantime.
  static std::error_code StillThere(const PortHandle& port) noexcept;
  // Throws the queued bytes away where the driver can.
  static void DiscardQueued(const PortHandle& port) noexcept;
  // Throws the queued bytes away and closes the port where nobody waits
  // for it; calls `closed` once it is.
  static void Abandon(PortHandle port, const std::function<void()>& closed) noexcept;
  // The device itself, whatever name reaches it (POSIX: its device number;
  // Windows: its COM name); empty when there is no such device.
  static std::string IdentityOf(const std::string& device) noexcept;
  // The same of the open port.
  [[nodiscard]] std::string Identity() const noexcept;
  // The process-wide record of devices whose stalled ports are still being
  // let go; each hold is given back once.
  static void HoldLettingGo(const std::string& identity);
  static void ReleaseLettingGo(const std::string& identity) noexcept;
  // The system's error of the call that just failed.
  static std::error_code LastError() noexcept;
  // What an error of the system means when `device` is being opened.
  static PortTrouble TroubleOf(std::error_code error, const std::string& device) noexcept;

  // What is left of the time until `deadline`, for a system call's time-out.
  static int MillisecondsUntil(Clock::time_point deadline) noexcept;
  // When the bytes still to send, and `more`, should have left the port.
  [[nodiscard]] Clock::time_point Deadline(std::size_t more) const noexcept;
  [[noreturn]] void Fail(LinkStep step, std::error_code error) const;
  // The device took no data until `deadline`: the port is given up.
  [[noreturn]] void FailStalled(LinkStep step, Clock::time_point started,
                                Clock::time_point deadline);

  std::string device_;
  PortSettings settings_;
  PortHandle port_;
  // Bytes written since the port was opened: the most that can still be
  // queued. cdc_acm counts each busy write buffer as full (up to 10 KiB).
  std::size_t written_ = 0;
  bool opened_before_ = false;  // the device was there earlier in this run
};

}  // namespace qj570
