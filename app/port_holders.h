#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "receipt/serial/serial_ports.h"

// Who holds a busy port, and what took a missing one: looked up only after
// a failure, never on the way to a receipt. One file per platform.
namespace qj570::app {

// What to say when `device` is busy: that another program uses it, which
// one ("It is held by ModemManager (pid 812)."), a lock file, the kernel's
// console, and for a holder known to let go, how to make it. `ports` are
// those this computer has, for the adapter's ids. On Windows, only that
// another program uses it: naming it needs every handle in the system.
std::string BusyAdvice(const std::string& device, const std::vector<SerialPortInfo>& ports);

// What to add when the port is missing or has no hardware: that brltty
// runs and a USB serial adapter is plugged in with no tty, and how to stop
// brltty taking it. "" when that is not so.
std::string TakenAdapterAdvice();

// Linux, for tests: the same with proc/ and sys/ under `root`.
std::string BusyAdviceUnder(const std::filesystem::path& root, const std::string& device,
                            const std::vector<SerialPortInfo>& ports);
std::string TakenAdapterAdviceUnder(const std::filesystem::path& root);

}  // namespace qj570::app
