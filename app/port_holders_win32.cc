#include "app/port_holders.h"

namespace qj570::app {

// Naming the holder would take a list of every handle in the system; the
// busy advice says that another program holds the port.
std::string HolderAdvice(const std::string& /*device*/,
                         const std::vector<SerialPortInfo>& /*ports*/) {
  return "";
}

// brltty is Linux's.
std::string TakenAdapterAdvice() { return ""; }

}  // namespace qj570::app
