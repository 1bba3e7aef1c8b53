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

// Prints the sample receipt: opens the link, writes one line per entry and
// closes the link. A LinkError leaves unchanged at the step that failed;
// nothing is written after it, and a port opened by this run stays held by
// the link until the link's owner lets it go.
class ReceiptJob {
 public:
  explicit ReceiptJob(SerialLink& link) noexcept : link_(link) {}
  void run();

 private:
  SerialLink& link_;
};

}  // namespace qj570
