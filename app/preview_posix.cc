#include <vector>

#include "app/exit_status.h"
#include "app/picture_error.h"
#include "app/preview.h"
#include "app/process.h"
#include "app/receipt_file.h"
#include "app/translation.h"
#include "paper/paper.h"
#include "paper/picture.h"
#include "receipt/receipt_job.h"

namespace qj570::app {

int WritePreview(const std::string& png, const std::string& receipt) {
  std::vector<PrinterLine> lines;
  if (receipt.empty()) {
    lines = SampleReceiptLines();
  } else if (auto read = ReadReceiptFile(receipt)) {
    lines = std::move(*read);
  } else {
    return Code(ExitStatus::kBadReceipt);
  }
  // The bytes the job would send: the picture shows what the printer gets.
  std::string bytes;
  for (const PrinterLine& line : lines) {
    bytes += line.Encode();
  }
  try {
    paper::Font font = paper::Font::Find();
    paper::WritePng(paper::Draw(paper::ReadStream(bytes), font), png);
  } catch (const paper::PictureError& error) {
    // A character the font lacks is on a line of the receipt's file.
    const bool in_file =
        !receipt.empty() && error.problem() == paper::PictureError::Problem::kNoGlyph;
    const std::string what = DescribePictureError(error);
    PrintError("qj570-rs232: " +
               (in_file ? Format(Tr("{0}: {1}"), {ReceiptName(receipt), what}) : what) + "\n");
    return Code(ExitStatus::kFailed);
  }
  return Code(ExitStatus::kDone);
}

}  // namespace qj570::app
