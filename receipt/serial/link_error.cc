#include "receipt/serial/link_error.h"

namespace qj570 {
namespace {

class LinkErrorCategory : public std::error_category {
 public:
  [[nodiscard]] const char* name() const noexcept override { return "serial link"; }
  [[nodiscard]] std::string message(int value) const override {
    switch (static_cast<LinkErrc>(value)) {
      case LinkErrc::kNotOpen:
        return "it is not open";
      case LinkErrc::kAlreadyOpen:
        return "it is already open";
      case LinkErrc::kUnsupportedSettings:
        return "this system cannot set";
      case LinkErrc::kSettingsNotTaken:
        return "the driver did not take";
      case LinkErrc::kStalled:
        return "the device has taken no data for";
      case LinkErrc::kStillLettingGo:
        return "it is still letting go of a receipt that the device did not take";
    }
    return "error " + std::to_string(value);
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

LinkError::LinkError(std::error_code code, LinkStep step, const std::string& device,
                     PortTrouble trouble, const std::string& detail, std::chrono::seconds waited)
    : std::system_error(code),
      text_(std::string(StepText(step)) + " " + device + ": " + code.message() +
            (detail.empty() ? "" : " " + detail)),
      device_(device),
      step_(step),
      trouble_(trouble),
      waited_(waited) {}

bool LinkError::IsCallersMistake() const noexcept {
  return code() == LinkErrc::kNotOpen || code() == LinkErrc::kAlreadyOpen;
}

}  // namespace qj570
