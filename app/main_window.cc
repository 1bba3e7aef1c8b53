#include "app/main_window.h"

#include <iostream>

#include "receipt/receipt_job.h"

namespace qj570::app {

std::string RunTimeErrorMessage(const LinkError& error) {
  return "Run-time error '" + std::to_string(error.number()) + "':\n\n" + error.description();
}

void Form1::Command1_Click() {
  try {
    ReceiptJob(MSComm1).run();
  } catch (const LinkError& error) {
    std::cerr << "qj570-rs232: Run-time error '" << error.number() << "': " << error.description()
              << std::endl;
    ShowErrorAndEnd(RunTimeErrorMessage(error));
  }
}

}  // namespace qj570::app
