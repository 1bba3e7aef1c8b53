#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
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
        exclusive_(std::exchange(other.exclusive_, false)),
        lock_file_(std::exchange(other.lock_file_, {})) {}
  PortHandle& operator=(PortHandle&& other) noexcept {
    if (this != &other) {
      (void)Close();
      native_ = std::exchange(other.native_, kNone);
      exclusive_ = std::exchange(other.exclusive_, false);
      lock_file_ = std::exchange(other.lock_file_, {});
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
  // POSIX: the UUCP lock file taken for the port, removed once it is let go.
  void set_lock_file(std::string file) noexcept { lock_file_ = std::move(file); }
  [[nodiscard]] const std::string& lock_file() const noexcept { return lock_file_; }
  // Gives up exclusive use, if this handle took it, and closes the handle
  // now. The handle is gone even when the system reports an error, so a
  // close is never retried.
  std::error_code Close() noexcept;

 private:
  Native native_ = kNone;
  bool exclusive_ = false;
  std::string lock_file_;
};

// Whether a device still takes data: the bound of every wait of the link.
// A device has stalled once it has taken no byte for kMargin: nothing was
// written to it, and its driver's queue grew no shorter. A slow printer
// that holds the line with flow control takes bytes all the while, so it
// never stalls, however long its receipt takes; one that stops midway
// stalls kMargin after its last byte.
class StallWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // A healthy device never comes near it; a printer's buffer, a USB bus or
  // a busy scheduler may hold bytes back for a moment, never for seconds.
  static constexpr std::chrono::milliseconds kMargin{5000};

  // Bytes were written since the last look: the device, or its driver,
  // took them. The clock is read at the next look, so a write that the
  // driver takes at once costs nothing more.
  void Wrote() noexcept { moved_ = true; }
  // Looks at the device at `now`, with the bytes in its driver's queue
  // where the driver counts them. Returns when it stalls unless it takes
  // more by then.
  Clock::time_point Look(Clock::time_point now,
                         std::optional<std::size_t> queued = std::nullopt) noexcept;

 private:
  Clock::time_point last_progress_;
  std::optional<std::size_t> queued_;  // at the last look, since the last write
  bool moved_ = true;                  // so the first look starts the clock
};

// Sends bytes to one serial port, unaltered and in order. The port is held
// only between open() and close(); the link lives as long as its owner.
// Not thread-safe: one caller at a time. Every failure is a LinkError.
//
// No wait is unbounded. A write, and the drain in close(), go on for as long
// as the device keeps taking data; once it has taken none for kStallMargin
// (StallWatch) it has stalled: a printer switched off, out of paper or
// offline. A stalled port's queued bytes are thrown away where the driver
// can, and the port is let go on a thread of its own: a USB CDC-ACM port
// can neither flush nor close in less than its 30 s closing_wait. Until it
// is closed, every link of this process refuses the device, under any of
// its names, at open() (LinkErrc::kStillLettingGo): the kernel would keep
// the open waiting.
class SerialLink {
 public:
  // How long a device may take no data before it counts as stalled.
  static constexpr std::chrono::milliseconds kStallMargin = StallWatch::kMargin;
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
  // stays closed and nothing has been sent. On Linux, a port that another
  // process has open, that is the kernel's console, or that a live UUCP
  // lock file claims is refused before it is opened (PortTrouble::kBusy),
  // and the link writes its own lock file while it holds the port.
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
  // Linux: where /proc, /sys and /run/lock are: "/", but for tests.
  void set_system_root(std::filesystem::path root) { system_root_ = std::move(root); }

 private:
  using Clock = std::chrono::steady_clock;

  // Each platform's file provides these; they only make system calls.
  [[nodiscard]] PortHandle OpenPort() const;
  [[nodiscard]] static bool CanSet(const PortSettings& settings) noexcept;
  // Bytes in the driver's queue, not yet on the line.
  [[nodiscard]] static std::size_t Queued(const PortHandle& port) noexcept;
  // Both give LinkErrc::kStalled once the device has stalled (watch_).
  std::error_code WriteAll(std::string_view bytes) noexcept;
  std::error_code Drain() noexcept;
  // A few bytes' time at 9600 baud, between two looks at the queue.
  static void PauseForQueue() noexcept;
  // The system's drain of what is left once the queue is empty (tcdrain,
  // FlushFileBuffers): without flow control, a UART's FIFO, a moment.
  static std::error_code DrainRest(const PortHandle& port) noexcept;
  // With flow control: the system's drain, which may wait for ever (a USB
  // adapter's chip while the printer holds CTS low), on a thread of its
  // own, given up at `deadline`. Until it ends, the device stays in the
  // record of ports being let go.
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
  [[noreturn]] void Fail(LinkStep step, std::error_code error) const;
  // The device has taken no data for kStallMargin: the port is given up.
  [[noreturn]] void FailStalled(LinkStep step);

  std::string device_;
  PortSettings settings_;
  std::filesystem::path system_root_ = "/";
  PortHandle port_;
  StallWatch watch_;            // since the port was opened
  bool opened_before_ = false;  // the device was there earlier in this run
};

}  // namespace qj570
