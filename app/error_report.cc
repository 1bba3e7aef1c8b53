#include "app/error_report.h"

#include "receipt/serial_ports.h"

namespace qj570::app {

// Only an open can fail for want of the right port.
RunTimeErrorReport::RunTimeErrorReport(const LinkError& error)
    : heading_("Run-time error '" + std::to_string(error.number()) + "':"),
      description_(error.what()),
      ports_(error.step() == LinkError::Step::kOpen ? DescribeSerialPorts(FindSerialPorts()) : "") {
}

std::string RunTimeErrorReport::Message() const {
  return heading_ + "\n\n" + description_ + (ports_.empty() ? "" : "\n\n" + ports_);
}

std::string RunTimeErrorReport::Log() const {
  return "qj570-rs232: " + heading_ + ' ' + description_ + (ports_.empty() ? "" : "\n" + ports_) +
         "\n";
}

}  // namespace qj570::app
