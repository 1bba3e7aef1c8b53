// Who holds a tty, from /proc; what took a USB serial adapter, from sysfs.
// Read only after a failure. Processes come and go while we look: whatever
// cannot be read is passed over, and nothing here throws past its caller.
// The search for holders has a time bound: a descriptor may hang stat().
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "app/port_holders.h"
#include "app/translation.h"

namespace qj570::app {
namespace {

namespace fs = std::filesystem;

struct Holder {
  std::string pid;
  std::string name;
};

struct Holders {
  std::vector<Holder> found;
  bool hidden = false;      // some process's descriptors may not be listed by this user
  bool unfinished = false;  // the search ran out of time
};

// How long the search may take. It runs after a failure and before the box
// shows, on the window's thread (and in --receipt). It reads only names and
// links in /proc, so 2 s leaves room for a crowded or swapping machine, and
// is short enough that nobody takes the program for hung. Whatever still
// hangs the search (a device node on a stuck FUSE mount) is left behind on
// its thread.
constexpr std::chrono::seconds kSearchBound{2};

bool IsPid(const std::string& name) {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Whether the descriptor `fd` (a link under /proc/PID/fd) is the tty
// numbered `rdev`. Only a link whose text names something in a /dev is
// followed: stat() on a file of a dead NFS server or a stuck FUSE mount
// never returns. That /dev may lie under another root: a process in a
// chroot or another mount namespace than ours shows its device as
// "/srv/root/dev/pts/0".
bool IsTheTty(const fs::path& fd, dev_t rdev) {
  std::array<char, PATH_MAX> target{};
  const ssize_t length = ::readlink(fd.c_str(), target.data(), target.size());
  if (length < 0 ||
      std::string_view(target.data(), static_cast<std::size_t>(length)).find("/dev/") ==
          std::string_view::npos) {
    return false;
  }
  struct stat st = {};
  return ::stat(fd.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

// What a search and its caller share: the caller stops waiting after
// kSearchBound, and the search, perhaps held in the kernel, ends later.
struct Search {
  std::mutex mutex;
  std::condition_variable ended;
  Holders holders;
  bool done = false;
  std::atomic<bool> stop = false;
};

// Each process but this one whose descriptors include the tty numbered
// `rdev`. A user may not look into other users' processes: those count as
// hidden. The iterators advance with error codes: the range-for's would
// throw.
void SearchProcesses(const fs::path& proc, dev_t rdev, Search& search) {
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (fs::directory_iterator process(proc, error), end; !error && process != end && !search.stop;
       process.increment(error)) {
    const std::string pid = process->path().filename().string();
    if (!IsPid(pid) || pid == self) {
      continue;
    }
    std::error_code hidden;
    for (fs::directory_iterator fd(process->path() / "fd", hidden), fds_end;
         !hidden && fd != fds_end && !search.stop; fd.increment(hidden)) {
      if (IsTheTty(fd->path(), rdev)) {
        Holder holder{pid, FirstLine(process->path() / "comm")};
        const std::lock_guard lock(search.mutex);
        search.holders.found.push_back(std::move(holder));
        break;
      }
    }
    // A process that has just ended is no holder.
    if (hidden && hidden != std::errc::no_such_file_or_directory &&
        hidden != std::errc::no_such_process) {
      const std::lock_guard lock(search.mutex);
      search.holders.hidden = true;
    }
  }
}

// The search, on a thread of its own, for kSearchBound at most.
Holders FindHolders(const fs::path& proc, dev_t rdev) {
  const auto search = std::make_shared<Search>();
  std::thread([proc, rdev, search] {
    try {
      SearchProcesses(proc, rdev, *search);
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stands
    }
    const std::lock_guard lock(search->mutex);
    search->done = true;
    search->ended.notify_all();
  }).detach();
  std::unique_lock lock(search->mutex);
  if (!search->ended.wait_for(lock, kSearchBound, [&] { return search->done; })) {
    search->stop = true;
    search->holders.unfinished = true;
  }
  Holders holders = search->holders;
  std::sort(holders.found.begin(), holders.found.end(), [](const Holder& a, const Holder& b) {
    return std::make_pair(a.pid.size(), a.pid) < std::make_pair(b.pid.size(), b.pid);
  });
  return holders;
}

// A udev rule that tells ModemManager to leave the port's adapter alone: by
// its USB ids where the finder knows them, else by the tty's name.
std::string ModemManagerRule(const std::string& device, const std::vector<SerialPortInfo>& ports) {
  std::error_code error;
  const std::string real = fs::canonical(device, error).string();
  for (const SerialPortInfo& port : ports) {
    const bool same =
        port.device == device || port.device == real ||
        std::find(port.aliases.begin(), port.aliases.end(), device) != port.aliases.end();
    if (same && port.vendor_id != 0) {
      std::array<char, 96> rule{};
      std::snprintf(rule.data(), rule.size(),
                    "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", ", port.vendor_id,
                    port.product_id);
      return std::string(rule.data()) + "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    }
  }
  const std::string name = fs::path(real.empty() ? device : real).filename().string();
  return "KERNEL==\"" + name + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

// USB serial chips that brltty claims for braille displays (CH340, CP210x,
// FTDI, PL2303), as vendor:product.
constexpr std::array<std::string_view, 6> kClaimedChips = {"1a86:7523", "10c4:ea60", "0403:6001",
                                                           "067b:2303", "1a86:5523", "10c4:ea70"};

// A USB device of such a chip with no tty below any of its interfaces.
std::string AdapterWithoutTty(const fs::path& usb_devices) {
  std::error_code error;
  for (fs::directory_iterator device(usb_devices, error), end; !error && device != end;
       device.increment(error)) {
    const std::string ids =
        FirstLine(device->path() / "idVendor") + ":" + FirstLine(device->path() / "idProduct");
    if (std::find(kClaimedChips.begin(), kClaimedChips.end(), ids) == kClaimedChips.end()) {
      continue;
    }
    bool has_tty = false;
    std::error_code listing;
    for (fs::directory_iterator child(device->path(), listing), children_end;
         !listing && child != children_end && !has_tty; child.increment(listing)) {
      std::error_code inner_error;
      if (child->is_symlink(inner_error)) {  // driver, subsystem, port: elsewhere in sysfs
        continue;
      }
      for (fs::directory_iterator inner(child->path(), inner_error), inner_end;
           !inner_error && inner != inner_end && !has_tty; inner.increment(inner_error)) {
        has_tty = inner->path().filename().string().starts_with("tty");
      }
    }
    if (!has_tty) {
      const std::string name = FirstLine(device->path() / "product");
      return name.empty() ? ids : Format(Tr("{0} ({1})"), {name, ids});
    }
  }
  return "";
}

bool Runs(const fs::path& proc, const std::string& program) {
  std::error_code error;
  for (fs::directory_iterator process(proc, error), end; !error && process != end;
       process.increment(error)) {
    if (IsPid(process->path().filename().string()) &&
        FirstLine(process->path() / "comm") == program) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string HolderAdviceUnder(const fs::path& root, const std::string& device,
                              const std::vector<SerialPortInfo>& ports) {
  struct stat st = {};
  if (::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
    return "";
  }
  try {
    const Holders holders = FindHolders(root / "proc", st.st_rdev);
    std::vector<std::string> names;
    bool modem_manager = false;
    for (const Holder& holder : holders.found) {
      names.push_back(Format(Tr("{0} (pid {1})"), {holder.name, holder.pid}));
      modem_manager = modem_manager || holder.name == "ModemManager";
    }
    std::string advice;
    if (!names.empty()) {
      advice = Format(Tr("It is held by {0}."), {ListOf(names)});
    }
    if (holders.hidden) {
      advice = JoinSentences(
          advice, holders.found.empty() ? Tr("No process this user may look into holds it: another "
                                             "user's may, which only root can see.")
                                        : Tr("Other users' processes, which only root can see, may "
                                             "hold it too."));
    }
    if (holders.unfinished) {
      advice = JoinSentences(
          advice, Format(Tr("Some processes could not be searched within {0} s: one of them may "
                            "hold it."),
                         {std::to_string(kSearchBound.count())}));
    }
    if (modem_manager) {
      advice = JoinSentences(
          advice,
          Format(Tr("ModemManager tries every serial port for about half a minute after it "
                    "appears: wait that long, then print again. To make it leave this adapter "
                    "alone, put this line in /etc/udev/rules.d/99-qj570-rs232.rules and plug the "
                    "adapter in again:\n{0}"),
                 {ModemManagerRule(device, ports)}));
    }
    return advice;
  } catch (const std::exception&) {
    return "";  // the advice without names is still right
  }
}

std::string HolderAdvice(const std::string& device, const std::vector<SerialPortInfo>& ports) {
  return HolderAdviceUnder("/", device, ports);
}

std::string TakenAdapterAdviceUnder(const fs::path& root) {
  try {
    const std::string adapter = AdapterWithoutTty(root / "sys/bus/usb/devices");
    if (adapter.empty() || !Runs(root / "proc", "brltty")) {
      return "";
    }
    return Format(Tr("The USB serial adapter {0} is plugged in but has no serial port, and "
                     "brltty, the braille display service, runs: it takes such adapters for "
                     "braille displays. If no braille display is used here, stop brltty with "
                     "this command, then plug the adapter in again:\n"
                     "sudo systemctl mask --now brltty-udev.service brltty.service\n"
                     "On Debian and Ubuntu, removing brltty does as well:\n"
                     "sudo apt remove brltty"),
                  {adapter});
  } catch (const std::exception&) {
    return "";
  }
}

std::string TakenAdapterAdvice() { return TakenAdapterAdviceUnder("/"); }

}  // namespace qj570::app
