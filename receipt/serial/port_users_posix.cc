// Who else uses a tty: /proc for the processes that have it open, sysfs for
// the console, /run/lock for lock files. Processes come and go while we
// look: whatever cannot be read is passed over. It runs before every job,
// so the walk over /proc makes system calls only: one directory read per
// process, one readlink per descriptor, and a stat only for a descriptor
// whose link names a device that could be a serial port.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "receipt/serial/port_users.h"

namespace qj570 {
namespace {

namespace fs = std::filesystem;

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool IsPid(std::string_view name) {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The first line of a small file under `dir`, or "".
std::string FirstLine(int dir, const std::string& name) {
  const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return "";
  }
  std::array<char, 256> text{};
  const ssize_t length = ::read(fd, text.data(), text.size());
  ::close(fd);
  const std::string_view line(text.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
  return std::string(line.substr(0, line.find('\n')));
}

// Nodes that every process has open and no serial port is: not worth a
// stat each.
bool NeverAPort(std::string_view link) {
  constexpr std::array<std::string_view, 9> kCommon = {"/dev/null",   "/dev/zero", "/dev/urandom",
                                                       "/dev/random", "/dev/ptmx", "/dev/tty",
                                                       "/dev/shm/",   "/dev/dri/", "/dev/snd/"};
  return std::any_of(kCommon.begin(), kCommon.end(), [&](std::string_view common) {
    return common.ends_with('/') ? link.starts_with(common) : link == common;
  });
}

// Whether the descriptor `fd` of the listing `fds` is one of the ttys.
// Only a link whose text names something in a /dev is followed: stat() on
// a file of a dead NFS server or a stuck FUSE mount never returns. That
// /dev may lie under another root: a process in a chroot or another mount
// namespace than ours shows its device as "/srv/root/dev/pts/0".
std::optional<std::size_t> WhichTty(int fds, const std::string& fds_path, const char* fd,
                                    const std::vector<dev_t>& ttys, std::vector<char>& target) {
  const ssize_t length = ::readlinkat(fds, fd, target.data(), target.size());
  if (length <= 0) {
    return std::nullopt;
  }
  const std::string_view link(target.data(), static_cast<std::size_t>(length));
  if (link.find("/dev/") == std::string_view::npos || NeverAPort(link)) {
    return std::nullopt;
  }
  struct stat st = {};
  if (::stat((fds_path + fd).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
    return std::nullopt;
  }
  const auto found = std::find(ttys.begin(), ttys.end(), st.st_rdev);
  return found == ttys.end()
             ? std::nullopt
             : std::optional<std::size_t>(static_cast<std::size_t>(found - ttys.begin()));
}

// What a search and its caller share: the caller stops waiting after
// kSearchBound, and the search, perhaps held in the kernel, ends later.
struct Search {
  explicit Search(std::size_t devices) : found(devices) {}
  std::mutex mutex;
  std::condition_variable ended;
  std::vector<std::vector<PortUser>> found;  // for each tty
  bool hidden = false;
  bool done = false;
  std::atomic<bool> stop = false;
};

// Whether the process `pid` has one of `ttys` open; `proc` is /proc open.
// A user may not look into other users' processes: those count as hidden.
// `target` is room for a link's text.
void LookInto(int proc, const std::string& proc_path, const std::string& pid,
              const std::vector<dev_t>& ttys, std::vector<char>& target, Search& search) {
  const int fds = ::openat(proc, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const Dir listing(fds < 0 ? nullptr : ::fdopendir(fds));
  if (!listing) {
    // A process that has just ended is no holder.
    if (errno != ENOENT && errno != ESRCH) {
      const std::lock_guard lock(search.mutex);
      search.hidden = true;
    }
    if (fds >= 0) {
      ::close(fds);
    }
    return;
  }
  std::vector<bool> holds(ttys.size());
  const std::string fds_path = proc_path + "/" + pid + "/fd/";
  // readdir is safe on a stream that no other thread reads.
  while (const dirent* fd = ::readdir(listing.get())) {  // NOLINT(concurrency-mt-unsafe)
    if (const auto tty = WhichTty(fds, fds_path, fd->d_name, ttys, target)) {
      holds[*tty] = true;
    }
  }
  if (std::find(holds.begin(), holds.end(), true) == holds.end()) {
    return;
  }
  const PortUser user{std::stoi(pid), FirstLine(proc, pid + "/comm")};
  const std::lock_guard lock(search.mutex);
  for (std::size_t i = 0; i < holds.size(); ++i) {
    if (holds[i]) {
      search.found[i].push_back(user);
    }
  }
}

// Each process but this one that has one of `ttys` open. Every descriptor
// costs a readlink, the kernel's permission check included: a few
// microseconds each, ten thousand on a busy desktop. The processes are
// shared out among as many threads as there are processors.
void SearchProcesses(const std::string& proc, const std::vector<dev_t>& ttys, Search& search) {
  const Dir processes(::opendir(proc.c_str()));
  if (!processes) {
    return;
  }
  const std::string self = std::to_string(::getpid());
  std::vector<std::string> pids;
  while (const dirent* process = ::readdir(processes.get())) {  // NOLINT(concurrency-mt-unsafe)
    if (IsPid(process->d_name) && process->d_name != self) {
      pids.emplace_back(process->d_name);
    }
  }
  std::atomic<std::size_t> next = 0;
  const auto work = [&]() noexcept {
    try {
      std::vector<char> target(PATH_MAX);
      for (std::size_t i = 0; (i = next++) < pids.size() && !search.stop;) {
        LookInto(::dirfd(processes.get()), proc, pids[i], ttys, target, search);
      }
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stands
    }
  };
  constexpr unsigned kMostThreads = 8;
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1U, kMostThreads);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads && pids.size() > 64; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::exception&) {  // fewer threads, then
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) {
    helper.join();
  }
}

// The search, on a thread of its own, for kSearchBound at most.
void FindProcesses(const fs::path& proc, const std::vector<dev_t>& ttys,
                   std::vector<PortUsers*>& users) {
  auto search = std::make_shared<Search>(ttys.size());
  try {
    std::thread([proc = proc.string(), ttys, search] {
      try {
        SearchProcesses(proc, ttys, *search);
      } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stands
      }
      const std::lock_guard lock(search->mutex);
      search->done = true;
      search->ended.notify_all();
    }).detach();
  } catch (const std::exception&) {  // no thread to be had: nobody could be looked for
    for (PortUsers* each : users) {
      each->unfinished = true;
    }
    return;
  }
  std::unique_lock lock(search->mutex);
  const bool done = search->ended.wait_for(lock, kSearchBound, [&] { return search->done; });
  search->stop = true;
  for (std::size_t i = 0; i < users.size(); ++i) {
    users[i]->processes = search->found[i];
    std::sort(users[i]->processes.begin(), users[i]->processes.end(),
              [](const PortUser& a, const PortUser& b) { return a.pid < b.pid; });
    users[i]->hidden = search->hidden;
    users[i]->unfinished = !done;
  }
}

// A device number as sysfs writes it, "4:64".
std::optional<dev_t> SysfsDevice(const fs::path& file) {
  std::ifstream in(file);
  unsigned major_number = 0;
  unsigned minor_number = 0;
  char colon = 0;
  if (in >> major_number >> colon >> minor_number && colon == ':') {
    return makedev(major_number, minor_number);
  }
  return std::nullopt;
}

// The kernel's name of the tty `rdev` if its console is there, else "":
// one of the names in sys/class/tty/console/active, by the device number
// that sysfs gives it, or where sysfs has none, by its node in /dev.
std::string ConsoleName(const fs::path& root, dev_t rdev) {
  std::ifstream in(root / "sys/class/tty/console/active");
  std::string name;
  while (in >> name) {
    if (name.find('/') != std::string::npos || name == "..") {
      continue;
    }
    if (const std::optional<dev_t> sysfs = SysfsDevice(root / "sys/class/tty" / name / "dev")) {
      if (*sysfs == rdev) {
        return name;
      }
      continue;
    }
    struct stat st = {};
    if (::stat((root / "dev" / name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == rdev) {
      return name;
    }
  }
  return "";
}

}  // namespace

std::vector<PortUsers> FindPortUsers(const std::vector<std::string>& devices,
                                     const fs::path& root) noexcept {
  std::vector<PortUsers> users;
  try {
    users.resize(devices.size());
    std::vector<dev_t> ttys;
    std::vector<PortUsers*> of_ttys;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      struct stat st = {};
      if (::stat(devices[i].c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        continue;
      }
      users[i].console = ConsoleName(root, st.st_rdev);
      users[i].lock_file = LockFileOwnerOf(devices[i], root);
      if (const std::optional<LockFileOwner>& owner = users[i].lock_file) {
        const int proc = ::open((root / "proc").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc >= 0) {
          users[i].lock_file_process = FirstLine(proc, std::to_string(owner->pid) + "/comm");
          ::close(proc);
        }
      }
      ttys.push_back(st.st_rdev);
      of_ttys.push_back(&users[i]);
    }
    if (!ttys.empty()) {
      FindProcesses(root / "proc", ttys, of_ttys);
    }
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): what was found stands
  }
  return users;
}

PortUsers FindPortUsers(const std::string& device, const fs::path& root) noexcept {
  std::vector<PortUsers> users = FindPortUsers(std::vector<std::string>{device}, root);
  return users.empty() ? PortUsers() : std::move(users.front());
}

}  // namespace qj570
