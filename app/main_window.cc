#include "app/main_window.h"

#include "app/error_report.h"
#include "app/process.h"
#include "app/translation.h"
#include "receipt/receipt_job.h"

namespace qj570::app {

void Form1::Command1_Click() {
  try {
    ReceiptJob(MSComm1).run();
  } catch (const LinkError& error) {
    const RunTimeErrorReport report(error, settings_);
    LogError(report.Log());
    // Someone who started the program from a menu has no --port: the box
    // offers the ports this computer does have.
    const std::vector<SerialPortInfo> offered =
        offer_ports_ ? PortsToOffer(error, report.ports()) : std::vector<SerialPortInfo>{};
    std::vector<std::string> labels;
    labels.reserve(offered.size());
    for (const SerialPortInfo& port : offered) {
      labels.push_back(PrintOnLabel(port));
    }
    const std::optional<std::size_t> chosen = ShowError(report.Message(), labels);
    if (!chosen) {
      End();
      return;
    }
    // Only for this run, and only once: a failure there ends as usual.
    offer_ports_ = false;
    MSComm1.set_device(offered[*chosen].device);
    LogError("qj570-rs232: " +
             Format(Tr("printing on {0}, chosen in the box, until the program ends"),
                    {offered[*chosen].device}) +
             "\n");
    Command1_Click();
  }
}

}  // namespace qj570::app
