#include "app/error_report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <new>
#include <string_view>
#include <system_error>

#include "app/port_advice.h"
#include "app/port_holders.h"
#include "app/translation.h"

namespace qj570::app {
namespace {

// "cannot open serial port", the step that failed.
const char* StepWords(LinkStep step) {
  switch (step) {
    case LinkStep::kOpen:
      return Tr("cannot open serial port");
    case LinkStep::kCheck:
      return Tr("cannot use serial port");
    case LinkStep::kLock:
      return Tr("cannot lock serial port");
    case LinkStep::kTake:
      return Tr("cannot take serial port");
    case LinkStep::kSetLine:
      return Tr("cannot set the line of serial port");
    case LinkStep::kSetModemLines:
      return Tr("cannot set the modem lines of serial port");
    case LinkStep::kWrite:
      return Tr("cannot write to serial port");
    case LinkStep::kDrain:
      return Tr("cannot send the rest of the data to serial port");
    case LinkStep::kClose:
      break;
  }
  return Tr("cannot close serial port");
}

const char* ParityWords(Parity parity) {
  switch (parity) {
    case Parity::kOdd:
      return Tr("odd parity");
    case Parity::kEven:
      return Tr("even parity");
    case Parity::kNone:
      break;
  }
  return Tr("no parity");
}

const char* FlowWords(FlowControl flow) {
  switch (flow) {
    case FlowControl::kRtsCts:
      return Tr("RTS/CTS flow control");
    case FlowControl::kXonXoff:
      return Tr("XON/XOFF flow control");
    case FlowControl::kNone:
      break;
  }
  return Tr("no flow control");
}

// What the system or the link said, without the full stop the system may
// end it with (the sentence gets its own).
std::string Reason(const LinkError& error) {
  if (error.code().category() != LinkCategory()) {
    std::string text = error.code().message();
    for (const std::string_view stop : {".", "\xE3\x80\x82"}) {  // . and 。
      if (text.ends_with(stop)) {
        text.resize(text.size() - stop.size());
      }
    }
    return text;
  }
  switch (static_cast<LinkErrc>(error.code().value())) {
    case LinkErrc::kNotOpen:
      return Tr("it is not open");
    case LinkErrc::kAlreadyOpen:
      return Tr("it is already open");
    case LinkErrc::kUnsupportedSettings:
      return Format(Tr("this system cannot set {0}"), {SettingsInWords(error.settings())});
    case LinkErrc::kSettingsNotTaken:
      return Format(Tr("the driver did not take {0}"), {SettingsInWords(error.settings())});
    case LinkErrc::kStalled:
      return Format(Tr("the device has taken no data for {0} s"),
                    {std::to_string(error.waited().count())});
    case LinkErrc::kStillLettingGo:
      break;
  }
  return Tr("it is still letting go of a receipt that the device did not take");
}

// What the trouble means for the user, and the step to take.
std::string Advice(const LinkError& error, const std::vector<SerialPortInfo>& ports) {
  switch (error.trouble()) {
    case PortTrouble::kMissing:
      return JoinSentences(
          JoinSentences(Tr("There is no device of that name. If the printer is on a USB serial "
                           "adapter, check that it is plugged in."),
                        ChoosePortAdvice(error.device(), ports)),
          TakenAdapterAdvice());
    case PortTrouble::kNoHardware:
      return JoinSentences(
          JoinSentences(Format(Tr("No serial port hardware answers at {0}: the name exists on "
                                  "most computers, with or without a COM port. Connect the "
                                  "printer to a port that has one."),
                               {error.device()}),
                        ChoosePortAdvice(error.device(), ports)),
          TakenAdapterAdvice());
    case PortTrouble::kPermission:
      return PermissionAdvice();
    case PortTrouble::kBusy:
      return BusyAdvice(error.device(), ports);
    case PortTrouble::kNotSerialPort:
      return JoinSentences(Tr("It is no serial port, so no printer can be behind it."),
                           ChoosePortAdvice(error.device(), ports));
    case PortTrouble::kGone:
      if (IsOpeningStep(error.step())) {
        return Tr(
            "The device is not answering: it may just have been unplugged. Plug the "
            "printer or its USB adapter in again, then print again.");
      }
      return Tr(
          "The port stopped answering during the receipt, which may be cut short: check "
          "that the printer's cable or USB adapter is still plugged in, then print again.");
    case PortTrouble::kStalled:
      return Tr(
          "Is the printer switched on, loaded with paper and online? The receipt may be "
          "cut short: print it again once the printer is ready.");
    case PortTrouble::kOther:
      break;
  }
  return "";
}

// "FT232R USB UART (0403:6001, FTDI, serial A10K1X2B)": what the system
// knows of a port, or "". Its words come from the device: only Format
// may put them in a message. The separators are the language's: Chinese
// has full-width parentheses and 、.
std::string PortName(const SerialPortInfo& port) {
  std::vector<std::string> details;
  if (port.vendor_id != 0 || port.product_id != 0) {
    std::array<char, 10> ids{};
    std::snprintf(ids.data(), ids.size(), "%04x:%04x", port.vendor_id, port.product_id);
    details.emplace_back(ids.data());
  }
  if (!port.manufacturer.empty()) {
    details.push_back(port.manufacturer);
  }
  if (!port.serial_number.empty()) {
    details.push_back(Format(Tr("serial {0}"), {port.serial_number}));
  }
  if (details.empty()) {
    return port.description;
  }
  return port.description.empty() ? Format(Tr("({0})"), {ListOf(details)})
                                  : Format(Tr("{0} ({1})"), {port.description, ListOf(details)});
}

// "\n    in use by minicom (pid 812)", "\n    the system console": why a
// port listed is not offered.
std::string InUseLines(const PortUsers& users) {
  std::vector<std::string> names;
  names.reserve(users.processes.size() + 1);
  for (const PortUser& user : users.processes) {
    names.push_back(ProcessName(user.name, user.pid));
  }
  if (users.lock_file &&
      std::none_of(users.processes.begin(), users.processes.end(),
                   [&](const PortUser& user) { return user.pid == users.lock_file->pid; })) {
    names.push_back(ProcessName(users.lock_file_process, users.lock_file->pid));
  }
  std::string lines;
  if (!names.empty()) {
    lines += Format("\n    {0}", {Format(Tr("in use by {0}"), {ListOf(names)})});
  }
  if (!users.console.empty()) {
    lines += Format("\n    {0}", {Tr("the system console")});
  }
  return lines;
}

// Only a failure to take the port can be mended by another port.
bool CouldBeAnotherPort(const LinkError& error) {
  return IsOpeningStep(error.step()) && !error.IsCallersMistake();
}

}  // namespace

std::string DescribeFailure(const LinkError& error, const std::vector<SerialPortInfo>& ports) {
  // "cannot open serial port /dev/ttyS0: No such file or directory."
  const std::string failed =
      Format(Tr("{0} {1}: {2}."), {StepWords(error.step()), error.device(), Reason(error)});
  const std::string advice = Advice(error, ports);
  return JoinSentences(failed, advice);
}

RunTimeErrorReport::RunTimeErrorReport(const LinkError& error) {
  if (CouldBeAnotherPort(error)) {
    ports_found_ = FindSerialPorts();
    users_ = FindUsersOf(ports_found_);
    ports_ = DescribeSerialPorts(ports_found_, users_);
  }
  heading_ = Format(Tr("Run-time error '{0}':"), {std::to_string(error.number())});
  description_ = DescribeFailure(error, ports_found_);
}

RunTimeErrorReport::RunTimeErrorReport(const std::exception_ptr& unexpected) {
  int number = kUnexpectedError;
  try {
    std::rethrow_exception(unexpected);
  } catch (const std::bad_alloc&) {
    description_ = Tr("There is not enough memory.");
  } catch (const std::system_error& error) {  // what failed, in the system's words
    number = error.code().value();
    description_ = Format(Tr("{0}."), {error.what()});
  } catch (const std::exception& error) {
    description_ =
        Format(Tr("The program met an error that it did not expect: {0}."), {error.what()});
  } catch (...) {
    description_ = Tr("The program met an error that it did not expect.");
  }
  heading_ = Format(Tr("Run-time error '{0}':"), {std::to_string(number)});
}

std::vector<SerialPortInfo> PortsToOffer(const LinkError& error,
                                         const std::vector<SerialPortInfo>& ports,
                                         const std::vector<PortUsers>& users) {
  std::vector<SerialPortInfo> offered;
  const bool wrong_port =
      IsOpeningStep(error.step()) &&
      (error.trouble() == PortTrouble::kMissing || error.trouble() == PortTrouble::kNoHardware);
  if (!wrong_port) {
    return offered;
  }
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const bool in_use = i < users.size() && users[i].InUse();
    if (offered.size() < 3 && ports[i].device != error.device() && !in_use &&
        DeviceIsThere(ports[i].device)) {
      offered.push_back(ports[i]);
    }
  }
  return offered;
}

std::string PrintOnLabel(const SerialPortInfo& port) {
  std::string label = port.description.empty()
                          ? Format(Tr("Print on {0}"), {port.device})
                          : Format(Tr("Print on {0} ({1})"), {port.device, port.description});
  for (const std::string& alias : port.aliases) {
    label += Format("\n{0}", {alias});
  }
  return label;
}

std::string RunTimeErrorReport::Message() const {
  return heading_ + "\n\n" + description_ + (ports_.empty() ? "" : "\n\n" + ports_);
}

std::string RunTimeErrorReport::Log() const {
  return "qj570-rs232: " + JoinSentences(heading_, description_) +
         (ports_.empty() ? "" : "\n" + ports_) + "\n";
}

std::string SettingsInWords(const PortSettings& settings) {
  return Format(Tr("{0} baud, {1} data bits, {2}, {3}, {4}"),
                {std::to_string(settings.baud), std::to_string(settings.data_bits),
                 ParityWords(settings.parity),
                 settings.stop_bits == StopBits::kTwo ? Tr("2 stop bits") : Tr("1 stop bit"),
                 FlowWords(settings.flow_control)});
}

std::string ProcessName(const std::string& name, int pid) {
  return name.empty() ? Format(Tr("the process with pid {0}"), {std::to_string(pid)})
                      : Format(Tr("{0} (pid {1})"), {name, std::to_string(pid)});
}

std::vector<PortUsers> FindUsersOf(const std::vector<SerialPortInfo>& ports) {
  std::vector<std::string> devices;
  devices.reserve(ports.size());
  for (const SerialPortInfo& port : ports) {
    devices.push_back(port.device);
  }
  return FindPortUsers(devices);
}

std::string DescribeSerialPorts(const std::vector<SerialPortInfo>& ports,
                                const std::vector<PortUsers>& users) {
  if (ports.empty()) {
    return Tr("No serial port with hardware behind it was found on this computer.");
  }
  std::string text = Tr("Serial ports on this computer:");
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const SerialPortInfo& port = ports[i];
    const std::string name = PortName(port);
    text += Format(name.empty() ? "\n  {0}" : "\n  {0}  {1}", {port.device, name});
    for (const std::string& alias : port.aliases) {
      text += Format("\n    {0}", {alias});
    }
    if (i < users.size()) {
      text += InUseLines(users[i]);
    }
  }
  return text;
}

}  // namespace qj570::app
