#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "receipt/printer_line.h"
#include "receipt/serial/serial_link.h"

namespace qj570 {

enum class LineKind : std::uint8_t { kText, kBlank, kClosing, kFormFeed };

struct ReceiptEntry {
  LineKind kind;
  std::u32string_view text;  // only for kText
};

// The sample receipt, in the order it is sent. Every run sends the same
// 339 bytes: nothing in it is computed, not even the total or the date.
std::span<const ReceiptEntry> SampleReceipt() noexcept;

// The printer line that an entry stands for.
PrinterLine BuildLine(const ReceiptEntry& entry);

// The sample receipt as printer lines.
std::vector<PrinterLine> SampleReceiptLines();

// Prints a receipt: opens the link, writes each line's bytes in one write,
// in order, and closes the link. Every line is encoded when the job is
// made, so a character without a code (EncodeError) fails before the port
// is opened and can never leave half a receipt on the line.
// The first LinkError stops the run and leaves it as it was raised;
// nothing is written after it, and a port opened by this run stays held
// until the link is closed or destroyed by its owner.
class ReceiptJob {
 public:
  // The sample receipt.
  explicit ReceiptJob(SerialLink& link);
  ReceiptJob(SerialLink& link, std::span<const PrinterLine> lines);
  void run();

 private:
  SerialLink& link_;
  std::vector<std::string> encoded_lines_;
};

}  // namespace qj570
