#include "receipt/serial_link.h"

#include <utility>

namespace qj570 {

SerialLink::SerialLink(std::string device) : device_(std::move(device)) {}

SerialLink::~SerialLink() { Release(); }

bool SerialLink::is_open() const noexcept { return handle_ != kNoHandle; }

void SerialLink::write(const PrinterLine& line) {
  if (!is_open()) {
    FailNotOpen("write to");
  }
  std::string bytes;
  try {
    bytes = line.Encode();
  } catch (const EncodeError& error) {
    FailUnencodable(error);
  }
  WriteBytes(bytes);
}

void SerialLink::FailNotOpen(const char* step) const {
  throw LinkError(kNotOpenError,
                  std::string("cannot ") + step + " serial port " + device_ + ": it is not open");
}

void SerialLink::FailUnencodable(const EncodeError& error) const {
  throw LinkError(kUnencodableError,
                  std::string("cannot write to serial port ") + device_ + ": " + error.what());
}

}  // namespace qj570
