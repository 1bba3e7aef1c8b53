#include "receipt/serial_link.h"

#include <utility>

namespace qj570 {

// The build sets QJ570_PORT_DEVICE (CMake's cache variable of that name).
const char* DefaultPort() noexcept { return QJ570_PORT_DEVICE; }

SerialLink::SerialLink(std::string device, PortSettings settings)
    : device_(std::move(device)), settings_(settings) {}

SerialLink::~SerialLink() { Release(); }

void SerialLink::write(const PrinterLine& line) {
  if (!is_open()) {
    FailNotOpen("write to");
  }
  std::string bytes;
  try {
    bytes = line.Encode();
  } catch (const EncodeError& error) {
    FailUnencodable(error);
  }
  WriteBytes(bytes);
}

void SerialLink::FailNotOpen(const char* step) const {
  throw LinkError(kNotOpenError,
                  std::string("cannot ") + step + " serial port " + device_ + ": it is not open");
}

void SerialLink::FailUnencodable(const EncodeError& error) const {
  throw LinkError(kUnencodableError,
                  std::string("cannot write to serial port ") + device_ + ": " + error.what());
}

void SerialLink::FailLine(std::int32_t number, const char* what) const {
  throw LinkError(
      number,
      PortFailure("cannot set the line of serial port", device_,
                  std::string(what) + " " + DescribeLine(settings_), PortTrouble::kOther),
      LinkError::Step::kOpen);
}

std::string DescribeLine(const PortSettings& settings) {
  static constexpr const char* kParity[] = {"no parity", "odd parity", "even parity"};
  static constexpr const char* kFlow[] = {"no flow control", "RTS/CTS flow control",
                                          "XON/XOFF flow control"};
  return std::to_string(settings.baud) + " baud, " + std::to_string(settings.data_bits) +
         " data bits, " + kParity[static_cast<int>(settings.parity)] + ", " +
         (settings.stop_bits == StopBits::kTwo ? "2 stop bits, " : "1 stop bit, ") +
         kFlow[static_cast<int>(settings.flow_control)];
}

std::string PortFailure(const char* step, const std::string& device, const std::string& system_text,
                        PortTrouble trouble) {
  std::string text = std::string(step) + " " + device + ": " + system_text + ".";
  switch (trouble) {
    case PortTrouble::kMissing:
      text +=
          " There is no device of that name. If the printer is on a USB serial adapter,"
          " check that it is plugged in, or choose the printer's port with --port.";
      break;
    case PortTrouble::kNoHardware:
      text += " No serial port hardware answers at " + device +
              ": the name exists on most computers, with or without a COM port. Connect the"
              " printer to a port that has one, or choose its port with --port.";
      break;
    case PortTrouble::kPermission:
      text +=
          " You may not use this port: add your user to the 'dialout' group"
          " (sudo adduser $USER dialout) and log in again.";
      break;
    case PortTrouble::kBusy:
      text += " Another program is using the port: close that program, then try again.";
      break;
    case PortTrouble::kNotTerminal:
      text +=
          " It is no serial port, so no printer can be behind it: choose the printer's"
          " serial port with --port.";
      break;
    case PortTrouble::kGone:
      text +=
          " The port stopped answering during the receipt: check that the printer's"
          " cable or USB adapter is still plugged in, then print again.";
      break;
    case PortTrouble::kOther:
      break;
  }
  return text;
}

}  // namespace qj570
