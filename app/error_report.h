#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

#include "receipt/serial/port_users.h"
#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"

namespace qj570::app {

// The number shown for an error that is none of the system's nor the
// link's: one that the program did not expect. Next to the link's own
// (8101 on), and like them used by no system.
inline constexpr int kUnexpectedError = 8199;

// What the user is told of a failed job: the heading, what failed, what it
// means, what to do next and, when the port could not be taken, the serial
// ports this computer does have. Made once per failure, so the ports are
// looked up once.
class RunTimeErrorReport {
 public:
  explicit RunTimeErrorReport(const LinkError& error);
  // Anything else a job may throw: no memory, or a fault of the program.
  explicit RunTimeErrorReport(const std::exception_ptr& unexpected);

  // For the box: "Run-time error '2':", a blank line, the description and
  // the ports, if looked up.
  [[nodiscard]] std::string Message() const;
  // The same as one entry for standard error, "qj570-rs232: Run-time error
  // '2': ...", ending in a newline.
  [[nodiscard]] std::string Log() const;
  // The ports looked up: those this computer has, when the port could not
  // be taken; else none.
  [[nodiscard]] const std::vector<SerialPortInfo>& ports() const noexcept { return ports_found_; }
  // Who else uses each of them, in the same order.
  [[nodiscard]] const std::vector<PortUsers>& users() const noexcept { return users_; }

 private:
  std::vector<SerialPortInfo> ports_found_;
  std::vector<PortUsers> users_;
  std::string heading_;
  std::string description_;
  std::string ports_;  // empty unless the open failed
};

// "cannot open serial port /dev/ttyS0: No such file or directory. There is
// no device of that name. ..." What failed, what it means, what to do;
// `ports` are those this computer has, for the next step.
std::string DescribeFailure(const LinkError& error, const std::vector<SerialPortInfo>& ports = {});

// "9600 baud, 8 data bits, no parity, 1 stop bit, no flow control"
std::string SettingsInWords(const PortSettings& settings);

// "minicom (pid 812)"; a process whose name cannot be read, by its pid.
std::string ProcessName(const std::string& name, int pid);

// Who else uses each of `ports`, in the same order.
std::vector<PortUsers> FindUsersOf(const std::vector<SerialPortInfo>& ports);

// "Serial ports on this computer:" and one port a line, each with its
// stable names below it and, from `users` (in the same order, or empty),
// who else uses it; or a sentence that says there are none.
std::string DescribeSerialPorts(const std::vector<SerialPortInfo>& ports,
                                const std::vector<PortUsers>& users = {});

// The ports to offer in the box instead of the one that failed: only when
// the port was missing or had no hardware, at most three, never the one that
// failed, one whose device node is missing, nor one that `users` (in the
// same order) shows in use.
std::vector<SerialPortInfo> PortsToOffer(const LinkError& error,
                                         const std::vector<SerialPortInfo>& ports,
                                         const std::vector<PortUsers>& users);

// "Print on /dev/ttyUSB0", with its stable names below.
std::string PrintOnLabel(const SerialPortInfo& port);

}  // namespace qj570::app
