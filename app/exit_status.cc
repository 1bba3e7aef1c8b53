#include "app/exit_status.h"

#include "app/translation.h"

namespace qj570::app {
namespace {

const char* Meaning(ExitStatus status) {
  switch (status) {
    case ExitStatus::kDone:
      return Tr("done: the window was closed, or the whole receipt has left the port");
    case ExitStatus::kUsage:
      return Tr("a bad argument; nothing was opened");
    case ExitStatus::kPortMissing:
      return Tr("the port does not exist (or was just unplugged)");
    case ExitStatus::kNoHardware:
      return Tr("no serial port hardware answers at the port");
    case ExitStatus::kNoPermission:
      return Tr("no permission to use the port");
    case ExitStatus::kPortBusy:
      return Tr("another program holds the port");
    case ExitStatus::kNotSerialPort:
      return Tr("the port is no serial port");
    case ExitStatus::kPrinterStalled:
      return Tr("the printer takes no data: off, out of paper or offline");
    case ExitStatus::kDeviceGone:
      return Tr("the port went away during the receipt");
    case ExitStatus::kBadReceipt:
      return Tr(
          "the receipt's text is unreadable or cannot be printed (with --preview: or is "
          "too long for one picture); nothing was sent");
    case ExitStatus::kFailed:
      break;
  }
  return Tr("any other failure, and every failure the window reports");
}

}  // namespace

ExitStatus ExitStatusOf(const LinkError& error) noexcept {
  switch (error.trouble()) {
    case PortTrouble::kMissing:
      return ExitStatus::kPortMissing;
    case PortTrouble::kNoHardware:
      return ExitStatus::kNoHardware;
    case PortTrouble::kPermission:
      return ExitStatus::kNoPermission;
    case PortTrouble::kBusy:
      return ExitStatus::kPortBusy;
    case PortTrouble::kNotSerialPort:
      return ExitStatus::kNotSerialPort;
    case PortTrouble::kStalled:
      return ExitStatus::kPrinterStalled;
    case PortTrouble::kGone:
      // Gone before the open: for a script, as good as missing.
      return IsOpeningStep(error.step()) ? ExitStatus::kPortMissing : ExitStatus::kDeviceGone;
    case PortTrouble::kOther:
      break;
  }
  return ExitStatus::kFailed;
}

std::string ExitStatusesInWords() {
  std::string text =
      Tr("Exit status (3 to 9 with --receipt only, 10 with --receipt or --preview):");
  for (int code = 0; code <= Code(ExitStatus::kBadReceipt); ++code) {
    const std::string number = std::to_string(code);
    text += "\n  " + number + std::string(4 - number.size(), ' ') +
            Meaning(static_cast<ExitStatus>(code));
  }
  return text + "\n";
}

}  // namespace qj570::app
