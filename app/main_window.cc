#include "app/main_window.h"

#include <exception>

#include "app/error_report.h"
#include "app/process.h"
#include "app/translation.h"
#include "receipt/receipt_job.h"

namespace qj570::app {

void Form1::Command1_Click() {
  std::exception_ptr failure;
  try {
    ReceiptJob(MSComm1).run();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    ReportFailure(failure);
  }
}

void Form1::ReportFailure(const std::exception_ptr& failure) noexcept {
  try {
    std::vector<SerialPortInfo> offered;
    std::optional<RunTimeErrorReport> report;
    try {
      std::rethrow_exception(failure);
    } catch (const LinkError& error) {
      report.emplace(error);
      // Someone who started the program from a menu has no --port: the box
      // offers the ports this computer does have.
      if (offer_ports_) {
        offered = PortsToOffer(error, report->ports(), report->users());
      }
    } catch (...) {
      report.emplace(std::current_exception());
    }
    LogError(report->Log());
    std::vector<std::string> labels;
    labels.reserve(offered.size());
    for (const SerialPortInfo& port : offered) {
      labels.push_back(PrintOnLabel(port));
    }
    if (const std::optional<std::size_t> chosen = ShowError(report->Message(), labels)) {
      // Only for this run, and only once: a failure there ends as usual.
      offer_ports_ = false;
      MSComm1.set_device(offered[*chosen].device);
      LogError("qj570-rs232: " +
               Format(Tr("printing on {0}, chosen in the box, until the program ends"),
                      {offered[*chosen].device}) +
               "\n");
      Command1_Click();
      return;
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): not even the report could be made
  }
  End();
}

}  // namespace qj570::app
