#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "receipt/serial/port_settings.h"

namespace qj570 {

// The step of the link that failed. The first six belong to opening the
// port; a failure there may mean that another port is the answer.
enum class LinkStep : std::uint8_t {
  kOpen,           // open the device
  kCheck,          // make sure it is a serial port with hardware behind it
  kLock,           // take the lock that every opener asks for
  kTake,           // take it exclusively
  kSetLine,        // speed, frame, flow control, buffers, time-outs
  kSetModemLines,  // DTR and RTS
  kWrite,          // queue the bytes
  kDrain,          // wait until they have left the port
  kClose,          // let the port go
};

[[nodiscard]] constexpr bool IsOpeningStep(LinkStep step) noexcept {
  return step < LinkStep::kWrite;
}

// What a failure means for whoever is at the desk, whatever the system
// called it. Each platform maps its own errors onto these.
enum class PortTrouble : std::uint8_t {
  kOther,
  kMissing,        // no device of that name
  kNoHardware,     // the device exists, but no UART answers behind it
  kPermission,     // not allowed to open it
  kBusy,           // another program holds it
  kNotSerialPort,  // a file or device that is no serial port
  kGone,           // it went away: unplugged, or powered off
  kStalled,        // it takes no data: switched off, out of paper or offline
};

// Mistakes of the link's caller and limits of the line's driver: never an
// operating system's error number in disguise. People read the number out
// to whoever helps them, so each keeps its value, in a range that neither
// errno (under 200) nor GetLastError uses (its FRS codes end at 8017, its
// directory service codes start at 8200).
enum class LinkErrc : std::uint16_t {
  kNotOpen = 8101,       // write or close before open
  kAlreadyOpen,          // open twice
  kUnsupportedSettings,  // this system has no way to set the line so
  kSettingsNotTaken,     // the driver quietly kept a line of its own
  kStalled,              // the device has taken no data for a while
  kStillLettingGo,       // open while this process still lets a stalled port of it go
};

const std::error_category& LinkCategory() noexcept;
std::error_code make_error_code(LinkErrc errc) noexcept;  // NOLINT: found by ADL under this name

// The category of what the operating system says: errno on POSIX, and
// GetLastError's numbers with FormatMessage's text in UTF-8 on Windows.
const std::error_category& SystemCategory() noexcept;

// A failed serial link operation. what() is one plain sentence for logs:
// "cannot open serial port /dev/ttyS0: No such file or directory". Advice
// for people is the caller's to give, from step(), trouble(), device() and
// settings().
class LinkError : public std::system_error {
 public:
  // `settings` are the link's own; `waited`, how long a stalled device has
  // taken no data.
  LinkError(std::error_code code, LinkStep step, const std::string& device, PortTrouble trouble,
            const PortSettings& settings = kPortSettings, std::chrono::seconds waited = {});

  [[nodiscard]] const char* what() const noexcept override { return text_.what(); }
  // The number shown to the user: the system's own, or the link's.
  [[nodiscard]] std::int32_t number() const noexcept { return code().value(); }
  [[nodiscard]] LinkStep step() const noexcept { return step_; }
  [[nodiscard]] PortTrouble trouble() const noexcept { return trouble_; }
  [[nodiscard]] const std::string& device() const noexcept { return device_; }
  // The line the link was asked for.
  [[nodiscard]] const PortSettings& settings() const noexcept { return settings_; }
  // How long a stalled device has taken no data (LinkErrc::kStalled).
  [[nodiscard]] std::chrono::seconds waited() const noexcept { return waited_; }
  // The caller used the link wrongly; the port itself may be fine.
  [[nodiscard]] bool IsCallersMistake() const noexcept;

 private:
  std::runtime_error text_;  // shares its string, so copies never throw
  std::string device_;
  PortSettings settings_;
  LinkStep step_;
  PortTrouble trouble_;
  std::chrono::seconds waited_;
};

// "cannot open serial port", the words of what() for each step.
const char* StepText(LinkStep step) noexcept;

}  // namespace qj570

template <>
struct std::is_error_code_enum<qj570::LinkErrc> : std::true_type {};
