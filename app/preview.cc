#include "app/preview.h"

#include <system_error>
#include <vector>

#include "app/exit_status.h"
#include "app/picture_error.h"
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
  using Problem = paper::PictureError::Problem;
  try {
    paper::Font font = paper::Font::Find();
    const paper::Picture picture = paper::Draw(paper::ReadStream(bytes), font);
    if (png == "-") {
      WriteOutBytes(paper::EncodePng(picture));
    } else {
      paper::WritePng(picture, png);
    }
  } catch (const paper::PictureError& error) {
    // A character the font lacks, or too many lines, are the receipt's.
    const bool in_file = !receipt.empty() && (error.problem() == Problem::kNoGlyph ||
                                              error.problem() == Problem::kTooTall);
    const std::string what = DescribePictureError(error);
    PrintError("qj570-rs232: " +
               (in_file ? Format(Tr("{0}: {1}"), {ReceiptName(receipt), what}) : what) + "\n");
    return Code(error.problem() == Problem::kTooTall ? ExitStatus::kBadReceipt
                                                     : ExitStatus::kFailed);
  } catch (const std::system_error& error) {
    PrintError(
        "qj570-rs232: " +
        Format(Tr("cannot write {0}: {1}"), {Tr("standard output"), error.code().message()}) +
        "\n");
    return Code(ExitStatus::kFailed);
  }
  return Code(ExitStatus::kDone);
}

}  // namespace qj570::app
