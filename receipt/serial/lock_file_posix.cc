// UUCP lock files. A file is written whole under a name of its own, then
// linked to its lock name, so no reader sees it half-written and no two
// writers both win.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <vector>

#include "receipt/serial/lock_file.h"

namespace qj570 {
namespace {

namespace fs = std::filesystem;

// "LCK..ttyUSB0", "LCK..pts_3".
std::string LockName(const std::string& device) {
  constexpr std::string_view kDev = "/dev/";
  std::string name =
      device.starts_with(kDev) ? device.substr(kDev.size()) : fs::path(device).filename().string();
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

// The names other programs may have used: the real path's first, which
// is the one this program writes, then the name given (a udev link).
std::vector<std::string> LockNames(const std::string& device) {
  std::error_code error;
  const std::string real = fs::canonical(device, error).string();
  std::vector<std::string> names;
  if (!error) {
    names.push_back(LockName(real));
  }
  if (const std::string given = LockName(device); names.empty() || names.front() != given) {
    names.push_back(given);
  }
  return names;
}

// root/run/lock and root/var/lock, each once (Debian links the second to
// the first).
std::vector<fs::path> LockFolders(const fs::path& root) {
  std::vector<fs::path> folders;
  std::vector<fs::path> real;
  for (const char* folder : {"run/lock", "var/lock"}) {
    std::error_code error;
    const fs::path path = root / folder;
    const fs::path canonical = fs::canonical(path, error);
    if (!error && fs::is_directory(canonical, error) &&
        std::find(real.begin(), real.end(), canonical) == real.end()) {
      real.push_back(canonical);
      folders.push_back(path);
    }
  }
  return folders;
}

// The pid in a lock file: ten ASCII digits, space-padded; older programs
// wrote a binary int. Empty for what cannot be read or holds no pid.
std::optional<int> ReadPid(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  std::array<char, 32> text{};
  const ssize_t length = ::read(fd, text.data(), text.size());
  ::close(fd);
  if (length == static_cast<ssize_t>(sizeof(std::int32_t)) &&
      std::any_of(text.begin(), text.begin() + length,
                  [](char c) { return c != ' ' && c != '\n' && (c < '0' || c > '9'); })) {
    std::int32_t binary = 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    return binary > 0 ? std::optional<int>(binary) : std::nullopt;
  }
  std::string_view rest(text.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  int pid = 0;
  const auto [end, failed] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
  rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
  if (failed != std::errc() || pid <= 0 || !(rest.empty() || rest.front() == '\n')) {
    return std::nullopt;
  }
  return pid;
}

// The lock files to remove when the process ends. Never destroyed: a
// thread letting a port go may still use it while the process exits.
struct LeftAtExit {
  std::mutex mutex;
  std::vector<std::string> files;
};

LeftAtExit& Left() {
  static auto* const left = new LeftAtExit;  // NOLINT(cppcoreguidelines-owning-memory)
  return *left;
}

void RemoveLeft() noexcept;

// A process that another user runs is alive too (EPERM).
bool Alive(int pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

std::optional<LockFileOwner> LockFileOwnerOf(const std::string& device,
                                             const fs::path& root) noexcept {
  try {
    for (const fs::path& folder : LockFolders(root)) {
      for (const std::string& name : LockNames(device)) {
        const std::string file = (folder / name).string();
        if (const std::optional<int> pid = ReadPid(file);
            pid && *pid != static_cast<int>(::getpid()) && Alive(*pid)) {
          return LockFileOwner{*pid, file};
        }
      }
    }
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): no lock file to be read
  }
  return std::nullopt;
}

PortLockFile PortLockFile::Take(const std::string& device, const fs::path& root,
                                std::optional<LockFileOwner>& owner) {
  owner = LockFileOwnerOf(device, root);
  const std::vector<fs::path> folders = LockFolders(root);
  if (owner || folders.empty()) {
    return {};
  }
  const std::string file = (folders.front() / LockNames(device).front()).string();
  std::string draft = (folders.front() / "LTMP.qj570.XXXXXX").string();
  const int fd = ::mkostemp(draft.data(), O_CLOEXEC);
  if (fd < 0) {
    return {};  // not ours to write
  }
  std::array<char, 16> text{};
  const int length =
      std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(::getpid()));
  const bool written = ::fchmod(fd, 0644) == 0 &&
                       ::write(fd, text.data(), static_cast<std::size_t>(length)) == length;
  ::close(fd);
  PortLockFile taken;
  // Once more after taking a stale file away.
  for (int attempt = 0; written && attempt < 2; ++attempt) {
    if (::link(draft.c_str(), file.c_str()) == 0) {
      taken = PortLockFile(file);
      break;
    }
    if (errno != EEXIST) {
      break;
    }
    const std::optional<int> pid = ReadPid(file);
    if (pid && Alive(*pid)) {
      owner = LockFileOwner{*pid, file};
      break;
    }
    // A file being written, or one that cannot be read, is left alone.
    if (!pid || ::unlink(file.c_str()) != 0) {
      break;
    }
  }
  ::unlink(draft.c_str());
  return taken;
}

void PortLockFile::Remove(const std::string& file) noexcept {
  if (file.empty()) {
    return;
  }
  if (ReadPid(file) == static_cast<int>(::getpid())) {
    ::unlink(file.c_str());
  }
  const std::lock_guard lock(Left().mutex);
  std::vector<std::string>& files = Left().files;
  files.erase(std::remove(files.begin(), files.end(), file), files.end());
}

void PortLockFile::RemoveAtExit(const std::string& file) noexcept {
  if (file.empty()) {
    return;
  }
  try {
    const std::lock_guard lock(Left().mutex);
    if (Left().files.empty()) {
      static const bool registered = std::atexit(RemoveLeft) == 0;
      (void)registered;
    }
    Left().files.push_back(file);
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): stale once we end
  }
}

namespace {

void RemoveLeft() noexcept {
  std::vector<std::string> files;
  {
    const std::lock_guard lock(Left().mutex);
    files.swap(Left().files);
  }
  for (const std::string& file : files) {
    if (ReadPid(file) == static_cast<int>(::getpid())) {
      ::unlink(file.c_str());
    }
  }
}

}  // namespace

}  // namespace qj570
