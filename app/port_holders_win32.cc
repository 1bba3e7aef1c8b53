#include "app/port_holders.h"
#include "app/translation.h"

namespace qj570::app {

// Naming the holder would take a list of every handle in the system.
std::string BusyAdvice(const std::string& /*device*/,
                       const std::vector<SerialPortInfo>& /*ports*/) {
  return Tr("Another program is using the port: close that program, then try again.");
}

// brltty is Linux's.
std::string TakenAdapterAdvice() { return ""; }

}  // namespace qj570::app
