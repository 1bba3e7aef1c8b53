#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

// UUCP lock files, the claim on a serial port that minicom, cu, picocom
// and most older serial programs honour: "LCK..ttyUSB0" in /run/lock (also
// reached as /var/lock), holding the owner's pid as ten ASCII digits and a
// newline. A port under a folder of /dev is named with '_' for '/':
// "LCK..pts_3". A file whose process is gone is stale and means nothing.
// POSIX only: Windows has no such convention.
namespace qj570 {

// A live lock file of another process.
struct LockFileOwner {
  int pid = 0;
  std::string file;
};

// Another process's live lock file of `device`, under the name a program that opened it
// by its real path, or by the name given, would use; looked for in
// root/run/lock and root/var/lock. Never throws.
std::optional<LockFileOwner> LockFileOwnerOf(const std::string& device,
                                             const std::filesystem::path& root) noexcept;

// This process's lock file of a port, removed when let go, but only while
// it still holds this process's pid. Move-only.
class PortLockFile {
 public:
  PortLockFile() noexcept = default;
  ~PortLockFile() { Remove(std::exchange(file_, {})); }
  PortLockFile(PortLockFile&& other) noexcept : file_(std::exchange(other.file_, {})) {}
  PortLockFile& operator=(PortLockFile&& other) noexcept {
    if (this != &other) {
      Remove(std::exchange(file_, other.file_));
      other.file_.clear();
    }
    return *this;
  }
  PortLockFile(const PortLockFile&) = delete;
  PortLockFile& operator=(const PortLockFile&) = delete;

  // Writes the lock file of `device` into the first of root/run/lock and
  // root/var/lock that is there, replacing a stale one. Where the folder is
  // missing or not ours to write, holds nothing: the lock is a courtesy to
  // other programs, and the port's own locks still guard it. When another
  // process's live lock is there first, holds nothing and sets `owner`.
  static PortLockFile Take(const std::string& device, const std::filesystem::path& root,
                           std::optional<LockFileOwner>& owner);

  [[nodiscard]] const std::string& file() const noexcept { return file_; }
  // Gives the file to whoever lets the port go (Remove), keeping it.
  [[nodiscard]] std::string Release() noexcept { return std::exchange(file_, {}); }
  // Removes `file` if it still holds this process's pid.
  static void Remove(const std::string& file) noexcept;
  // Removes `file` when the process ends, unless Remove came first: for a
  // port let go on a thread that the process may not wait for.
  static void RemoveAtExit(const std::string& file) noexcept;

 private:
  explicit PortLockFile(std::string file) noexcept : file_(std::move(file)) {}
  std::string file_;
};

}  // namespace qj570
