#pragma once

#include <string>

namespace qj570::tools {

// A new pseudo-terminal standing in for a printer's serial line: raw, with
// both ends close-on-exec. The printer's side reads the master; the program
// under test opens slave_path(). Throws std::system_error.
class PtyPair {
 public:
  // With `keep_slave`, the pair keeps a slave descriptor of its own, as a
  // printer keeps its cable in, so that the master does not hang up between
  // jobs: only where the link runs in this same process, since another
  // process's descriptor makes the port busy. Without, the master reads EIO
  // while nobody has the slave open; what was written before stays readable,
  // and so do the line's settings.
  explicit PtyPair(bool keep_slave = true);
  ~PtyPair() { Close(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  PtyPair(PtyPair&&) = delete;
  PtyPair& operator=(PtyPair&&) = delete;

  [[nodiscard]] int master() const noexcept { return master_; }
  [[nodiscard]] int slave() const noexcept { return slave_; }
  [[nodiscard]] const std::string& slave_path() const noexcept { return slave_path_; }
  // Both ends go: the line is cut.
  void Close() noexcept;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace qj570::tools
