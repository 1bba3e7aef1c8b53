#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "receipt/printer_line.h"
#include "receipt/serial_link.h"

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

// Prints a receipt: opens the link, writes one line per entry and closes
// the link. The first LinkError stops the run and leaves it as it was
// raised; nothing is written after it, and a port opened by this run stays
// held until the link is closed or destroyed by its owner.
class ReceiptJob {
 public:
  // The sample receipt.
  explicit ReceiptJob(SerialLink& link) noexcept : link_(link) {}
  // Lines of the caller's, which must outlive the job.
  ReceiptJob(SerialLink& link, std::span<const PrinterLine> lines) noexcept
      : link_(link), lines_(lines), sample_(false) {}
  void run();

 private:
  SerialLink& link_;
  std::span<const PrinterLine> lines_;
  bool sample_ = true;
};

}  // namespace qj570
