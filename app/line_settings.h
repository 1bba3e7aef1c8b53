#pragma once

#include <string>
#include <string_view>

#include "receipt/serial/serial_link.h"

namespace qj570::app {

// The line's settings as a printer's self-test page prints them, for
// --line: "19200", "19200,8N1", "38400,8E1", "9600,8N1,rtscts",
// "9600,8N1,xonxoff", in any case. The speed comes first; the framing and
// the flow control may follow. Only the standard rates from 1200 to 115200
// and 8 data bits. Throws UsageError, saying what is wrong.
PortSettings ParseLineSettings(std::string_view text);

// "9600,8N1", as --line takes it.
std::string LineSettingsText(const PortSettings& settings);

}  // namespace qj570::app
