#include "app/main_window.h"

#include "app/error_report.h"
#include "app/process.h"
#include "receipt/receipt_job.h"

namespace qj570::app {

void Form1::Command1_Click() {
  try {
    ReceiptJob(MSComm1).run();
  } catch (const LinkError& error) {
    const RunTimeErrorReport report(error);
    LogError(report.Log());
    ShowErrorAndEnd(report.Message());
  }
}

}  // namespace qj570::app
