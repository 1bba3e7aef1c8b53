#include "app/error_report.h"

#include "receipt/serial_ports.h"

namespace qj570::app {
namespace {

std::string Heading(const LinkError& error) {
  return "Run-time error '" + std::to_string(error.number()) + "':";
}

// Only an open can fail for want of the right port.
std::string PortsIfUseful(const LinkError& error) {
  return error.step() == LinkError::Step::kOpen ? DescribeSerialPorts(FindSerialPorts()) : "";
}

}  // namespace

std::string RunTimeErrorMessage(const LinkError& error) {
  const std::string ports = PortsIfUseful(error);
  return Heading(error) + "\n\n" + error.what() + (ports.empty() ? "" : "\n\n" + ports);
}

std::string RunTimeErrorLog(const LinkError& error) {
  const std::string ports = PortsIfUseful(error);
  return "qj570-rs232: " + Heading(error) + ' ' + error.what() +
         (ports.empty() ? "" : "\n" + ports) + "\n";
}

}  // namespace qj570::app
