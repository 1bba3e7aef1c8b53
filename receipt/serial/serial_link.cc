// What the serial link does the same on every platform: the order of the
// steps, what a failure means, and letting the port go.
#include "receipt/serial/serial_link.h"

#include <utility>

namespace qj570 {

// The build sets QJ570_PORT_DEVICE (CMake's cache variable of that name).
const char* DefaultPort() noexcept { return QJ570_PORT_DEVICE; }

SerialLink::SerialLink(std::string device, PortSettings settings)
    : device_(std::move(device)), settings_(settings) {}

void SerialLink::open() {
  if (is_open()) {
    Fail(LinkStep::kOpen, LinkErrc::kAlreadyOpen);
  }
  if (!CanSet(settings_)) {
    Fail(LinkStep::kSetLine, LinkErrc::kUnsupportedSettings);
  }
  port_ = OpenPort();
}

void SerialLink::write(std::string_view bytes) {
  if (!is_open()) {
    Fail(LinkStep::kWrite, LinkErrc::kNotOpen);
  }
  if (const std::error_code error = WriteAll(port_, bytes)) {
    Fail(LinkStep::kWrite, error);
  }
}

void SerialLink::close() {
  if (!is_open()) {
    Fail(LinkStep::kClose, LinkErrc::kNotOpen);
  }
  PortHandle port = std::move(port_);
  const std::error_code drained = Drain(port);
  const std::error_code closed = port.Close();
  if (drained) {
    Fail(LinkStep::kDrain, drained);
  }
  if (closed) {
    Fail(LinkStep::kClose, closed);
  }
}

void SerialLink::Fail(LinkStep step, std::error_code error) const {
  if (error.category() == LinkCategory()) {
    const bool about_settings =
        error == LinkErrc::kUnsupportedSettings || error == LinkErrc::kSettingsNotTaken;
    throw LinkError(error, step, device_, PortTrouble::kOther,
                    about_settings ? DescribeSerialSettings(settings_) : "");
  }
  PortTrouble trouble = TroubleOf(error);
  // Once the port was open, a device that does not answer has gone away.
  if (!IsOpeningStep(step)) {
    trouble = trouble == PortTrouble::kNoHardware ? PortTrouble::kGone : PortTrouble::kOther;
  }
  throw LinkError(error, step, device_, trouble);
}

std::string DescribeSerialSettings(const PortSettings& settings) {
  static constexpr const char* kParity[] = {"no parity", "odd parity", "even parity"};
  static constexpr const char* kFlow[] = {"no flow control", "RTS/CTS flow control",
                                          "XON/XOFF flow control"};
  return std::to_string(settings.baud) + " baud, " + std::to_string(settings.data_bits) +
         " data bits, " + kParity[static_cast<int>(settings.parity)] + ", " +
         (settings.stop_bits == StopBits::kTwo ? "2 stop bits, " : "1 stop bit, ") +
         kFlow[static_cast<int>(settings.flow_control)];
}

}  // namespace qj570
