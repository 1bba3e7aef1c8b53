#include "receipt/serial/link_error.h"

namespace qj570 {
namespace {

class LinkErrorCategory : public std::error_category {
 public:
  [[nodiscard]] const char* name() const noexcept override { return "serial link"; }
  [[nodiscard]] std::string message(int value) const override {
    switch (static_cast<LinkErrc>(value)) {
      case LinkErrc::kNotOpen:
        return "The port is not open";
      case LinkErrc::kAlreadyOpen:
        return "The port is already open";
      case LinkErrc::kUnsupportedSettings:
        return "This system cannot set the line as asked";
      case LinkErrc::kSettingsNotTaken:
        return "The driver did not take the line's settings";
      case LinkErrc::kStalled:
        return "The device has taken no data";
      case LinkErrc::kStillLettingGo:
        return "The port is still being let go after data that the device did not take";
    }
    return "Error " + std::to_string(value);
  }
};

}  // namespace

const std::error_category& LinkCategory() noexcept {
  static const LinkErrorCategory category;
  return category;
}

std::error_code make_error_code(LinkErrc errc) noexcept {
  return {static_cast<int>(errc), LinkCategory()};
}

const char* StepText(LinkStep step) noexcept {
  switch (step) {
    case LinkStep::kOpen:
      return "cannot open serial port";
    case LinkStep::kCheck:
      return "cannot use serial port";
    case LinkStep::kLock:
      return "cannot lock serial port";
    case LinkStep::kTake:
      return "cannot take serial port";
    case LinkStep::kSetLine:
      return "cannot set the line of serial port";
    case LinkStep::kSetModemLines:
      return "cannot set the modem lines of serial port";
    case LinkStep::kWrite:
      return "cannot write to serial port";
    case LinkStep::kDrain:
      return "cannot send the rest of the data to serial port";
    case LinkStep::kClose:
      break;
  }
  return "cannot close serial port";
}

namespace {

// What the link knows beyond the code's own words: the line it asked for,
// or how long a stalled device has taken nothing.
std::string Detail(std::error_code code, const PortSettings& settings,
                   std::chrono::seconds waited) {
  if (code == LinkErrc::kUnsupportedSettings || code == LinkErrc::kSettingsNotTaken) {
    return " (" + DescribeSerialSettings(settings) + ")";
  }
  if (code == LinkErrc::kStalled) {
    return " for " + std::to_string(waited.count()) + " s";
  }
  return "";
}

}  // namespace

LinkError::LinkError(std::error_code code, LinkStep step, const std::string& device,
                     PortTrouble trouble, const PortSettings& settings, std::chrono::seconds waited)
    : std::system_error(code),
      text_(std::string(StepText(step)) + " " + device + ": " + code.message() +
            Detail(code, settings, waited)),
      device_(device),
      settings_(settings),
      step_(step),
      trouble_(trouble),
      waited_(waited) {}

bool LinkError::IsCallersMistake() const noexcept {
  return code() == LinkErrc::kNotOpen || code() == LinkErrc::kAlreadyOpen;
}

}  // namespace qj570
