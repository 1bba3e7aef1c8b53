#include "app/main_window.h"

#include <iostream>

#include "receipt/receipt_job.h"

namespace qj570::app {

namespace {

// "Run-time error '2':", the heading of every report of a failed job.
std::string Heading(const LinkError& error) {
  return "Run-time error '" + std::to_string(error.number()) + "':";
}

}  // namespace

std::string RunTimeErrorMessage(const LinkError& error) {
  return Heading(error) + "\n\n" + error.description();
}

void Form1::Command1_Click() {
  try {
    ReceiptJob(MSComm1).run();
  } catch (const LinkError& error) {
    std::cerr << "qj570-rs232: " << Heading(error) << ' ' << error.description() << std::endl;
    ShowErrorAndEnd(RunTimeErrorMessage(error));
  }
}

}  // namespace qj570::app
