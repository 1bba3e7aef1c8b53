#include "app/error_report.h"

#include <algorithm>
#include <string_view>

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

std::string Wrapped(const std::string& text, std::size_t width) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line(text.data() + start, end - start);
    const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
    std::size_t column = 0;
    for (std::size_t word = indent; word < line.size();) {
      const std::size_t word_end = std::min(line.find(' ', word), line.size());
      const std::size_t length = word_end - word;
      if (column > indent && column + 1 + length > width) {
        out += '\n';
        column = 0;
      }
      if (column == 0) {
        out.append(indent, ' ');
        column = indent;
      } else {
        out += ' ';
        ++column;
      }
      out.append(line.substr(word, length));
      column += length;
      word = std::min(line.find_first_not_of(' ', word_end), line.size());
    }
    if (end < text.size()) {
      out += '\n';
    }
    start = end + 1;
  }
  return out;
}

}  // namespace qj570::app
