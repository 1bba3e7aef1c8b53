#include "app/error_report.h"

namespace qj570::app {
namespace {

// What the trouble means for the user, and the step to take.
std::string Advice(const LinkError& error) {
  switch (error.trouble()) {
    case PortTrouble::kMissing:
      return " There is no device of that name. If the printer is on a USB serial adapter,"
             " check that it is plugged in, or choose the printer's port with --port.";
    case PortTrouble::kNoHardware:
      return " No serial port hardware answers at " + error.device() +
             ": the name exists on most computers, with or without a COM port. Connect the"
             " printer to a port that has one, or choose its port with --port.";
    case PortTrouble::kPermission:
      return " You may not use this port: add your user to the 'dialout' group"
             " (sudo adduser $USER dialout) and log in again.";
    case PortTrouble::kBusy:
      return " Another program is using the port: close that program, then try again.";
    case PortTrouble::kNotSerialPort:
      return " It is no serial port, so no printer can be behind it: choose the printer's"
             " serial port with --port.";
    case PortTrouble::kGone:
      if (IsOpeningStep(error.step())) {
        return " The device is not answering: it may just have been unplugged. Plug the"
               " printer or its USB adapter in again, then print again.";
      }
      return " The port stopped answering during the receipt, which may be cut short: check"
             " that the printer's cable or USB adapter is still plugged in, then print again.";
    case PortTrouble::kStalled:
      return " Is the printer switched on, loaded with paper and online? The receipt may be"
             " cut short: print it again once the printer is ready.";
    case PortTrouble::kOther:
      break;
  }
  return "";
}

// Only a failure to take the port can be mended by another port.
bool CouldBeAnotherPort(const LinkError& error) {
  return IsOpeningStep(error.step()) && !error.IsCallersMistake();
}

}  // namespace

std::string DescribeFailure(const LinkError& error) {
  return std::string(error.what()) + "." + Advice(error);
}

RunTimeErrorReport::RunTimeErrorReport(const LinkError& error)
    : heading_("Run-time error '" + std::to_string(error.number()) + "':"),
      description_(DescribeFailure(error)),
      ports_(CouldBeAnotherPort(error) ? DescribeSerialPorts(FindSerialPorts()) : "") {}

std::string RunTimeErrorReport::Message() const {
  return heading_ + "\n\n" + description_ + (ports_.empty() ? "" : "\n\n" + ports_);
}

std::string RunTimeErrorReport::Log() const {
  return "qj570-rs232: " + heading_ + ' ' + description_ + (ports_.empty() ? "" : "\n" + ports_) +
         "\n";
}

std::string DescribeSerialPorts(const std::vector<SerialPortInfo>& ports) {
  if (ports.empty()) {
    return "No serial port with hardware behind it was found on this computer.";
  }
  std::string text = "Serial ports on this computer:";
  for (const SerialPortInfo& port : ports) {
    text += "\n  " + port.device;
    for (const std::string& alias : port.aliases) {
      text += "\n    " + alias;
    }
  }
  return text;
}

}  // namespace qj570::app
