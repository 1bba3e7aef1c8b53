#include "receipt/receipt_job.h"

namespace qj570 {
namespace {

constexpr ReceiptEntry Text(std::u32string_view text) { return {LineKind::kText, text}; }
constexpr ReceiptEntry kBlank{LineKind::kBlank, {}};

// The item lines each hold 23 bytes of text so that their columns line up
// on the printer, where a Chinese character takes two columns. The total's
// two characters are each printed after SO.
constexpr ReceiptEntry kSampleReceipt[] = {
    Text(U"測試科技股份有限公司"),
    Text(U"統編:12345678"),
    Text(U"電話:87654321"),
    Text(U"發票地址XXXXXXXX"),
    kBlank,
    Text(U"日:01/07/16 時:18-00 "),
    Text(U"機號:001 序號:01 頁:1 "),
    kBlank,
    Text(U"可口可樂 2瓶 17元 34元 "),
    Text(U"長壽香煙 1包 25元 25元 "),
    Text(U"大享堡   1份 20元 20元 "),
    Text(U"味全鮮奶 2瓶 17元 34元 "),
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    kBlank,
    Text(U"\x0E總\x0E計          113元"),
    {LineKind::kClosing, {}},
    {LineKind::kFormFeed, {}},
};

}  // namespace

std::span<const ReceiptEntry> SampleReceipt() noexcept { return kSampleReceipt; }

PrinterLine BuildLine(const ReceiptEntry& entry) {
  switch (entry.kind) {
    case LineKind::kText:
      return TextLine(entry.text);
    case LineKind::kBlank:
      return BlankLine();
    case LineKind::kClosing:
      return ClosingLine();
    case LineKind::kFormFeed:
      break;
  }
  return FormFeedLine();
}

std::vector<PrinterLine> SampleReceiptLines() {
  std::vector<PrinterLine> lines;
  lines.reserve(SampleReceipt().size());
  for (const ReceiptEntry& entry : SampleReceipt()) {
    lines.push_back(BuildLine(entry));
  }
  return lines;
}

ReceiptJob::ReceiptJob(SerialLink& link) : ReceiptJob(link, SampleReceiptLines()) {}

ReceiptJob::ReceiptJob(SerialLink& link, std::span<const PrinterLine> lines) : link_(link) {
  encoded_lines_.reserve(lines.size());
  for (const PrinterLine& line : lines) {
    encoded_lines_.push_back(line.Encode());
  }
}

void ReceiptJob::run() {
  link_.open();
  for (const std::string& bytes : encoded_lines_) {
    link_.write(bytes);
  }
  link_.close();
}

}  // namespace qj570
