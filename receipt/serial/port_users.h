#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "receipt/serial/lock_file.h"

// Who else uses a serial port: processes that have it open, the kernel's
// console, a live lock file. Linux looks in /proc, /sys and /run/lock;
// Windows needs none of it (a COM port opens for one program at a time)
// and finds no one.
namespace qj570 {

// A process, as /proc names it. The name is the process's own choice:
// untrusted text.
struct PortUser {
  int pid = 0;
  std::string name;
};

struct PortUsers {
  std::vector<PortUser> processes;  // that have it open, by pid; this process left out
  std::string console;              // the kernel's name of it ("ttyS0") if its console is there
  std::optional<LockFileOwner> lock_file;
  std::string lock_file_process;  // the lock file owner's name, if it can be read
  bool hidden = false;            // other users' processes, which only root may look into
  bool unfinished = false;        // the search ran out of time (kSearchBound)

  // Printing there would mix our bytes with another's.
  [[nodiscard]] bool InUse() const noexcept {
    return !console.empty() || lock_file.has_value() || !processes.empty();
  }
};

// How long a search of the processes may take. It reads only names and
// links in /proc, so this leaves room for a crowded or swapping machine and
// is short enough that nobody takes the program for hung. What still hangs
// it (a descriptor on a stuck FUSE mount) is left behind on its thread.
constexpr std::chrono::seconds kSearchBound{2};

// Each device's users, in the order given, from one pass over the
// processes. A device that is not there has none. Never throws.
std::vector<PortUsers> FindPortUsers(const std::vector<std::string>& devices,
                                     const std::filesystem::path& root = "/") noexcept;
PortUsers FindPortUsers(const std::string& device,
                        const std::filesystem::path& root = "/") noexcept;

}  // namespace qj570
