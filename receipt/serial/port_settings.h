#pragma once

#include <cstdint>
#include <string>

namespace qj570 {

enum class Parity : std::uint8_t { kNone, kOdd, kEven };
enum class StopBits : std::uint8_t { kOne, kTwo };
enum class FlowControl : std::uint8_t { kNone, kRtsCts, kXonXoff };

// How the serial line is set up. The backends apply every field and read
// the line back to check that it took.
struct PortSettings {
  unsigned baud = 9600;
  unsigned data_bits = 8;  // 5 to 8
  Parity parity = Parity::kNone;
  StopBits stop_bits = StopBits::kOne;
  FlowControl flow_control = FlowControl::kNone;
  bool dtr = true;   // raised while the port is open, dropped when it is let go
  bool rts = false;  // with kRtsCts the driver drives RTS instead
  // Driver queue sizes. Windows takes them as a request; Linux's are fixed.
  unsigned receive_buffer = 1024;
  unsigned transmit_buffer = 512;
};
// The printer's line: 9600 baud, 8N1, no flow control, DTR up, RTS down.
inline constexpr PortSettings kPortSettings{};

// "9600 baud, 8 data bits, no parity, 1 stop bit, no flow control"
std::string DescribeSerialSettings(const PortSettings& settings);

}  // namespace qj570
