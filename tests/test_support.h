#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/pty_pair.h"

namespace qj570::testing {

// The printer's end of a pseudo-terminal: collects whatever arrives on the
// master while the code under test writes to the slave path. It keeps a
// slave descriptor of its own open, as a printer keeps its cable, so the
// master does not hang up between jobs.
class PtyPeer {
 public:
  PtyPeer();
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;
  PtyPeer(PtyPeer&&) = delete;
  PtyPeer& operator=(PtyPeer&&) = delete;

  [[nodiscard]] const std::string& slave_path() const { return pty_.slave_path(); }
  [[nodiscard]] int slave_fd() const { return pty_.slave(); }

  // Waits until at least `count` bytes have arrived (or the timeout ends)
  // and returns all received so far.
  std::string WaitFor(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything received, after a short quiet spell.
  std::string Settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
  std::string Take();  // returns and forgets what has arrived
  // From now on it reads at most `bytes_per_second` (0: all that comes), as
  // a slow printer holding the line, and nothing once `stop_after` came.
  void Pace(std::size_t bytes_per_second, std::size_t stop_after = SIZE_MAX);
  std::chrono::steady_clock::time_point LastRead();  // of a byte

  // The other end vanishes: both of the peer's descriptors close.
  void Vanish();

 private:
  void Drain();

  tools::PtyPair pty_;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string received_;
  std::chrono::steady_clock::time_point last_read_;
  std::size_t pace_ = 0;
  std::size_t stop_after_ = SIZE_MAX;
  std::thread reader_;
};

// Records each tcdrain and each tcflush the code under test makes while it
// lives. The test program is linked with --wrap=tcdrain and --wrap=tcflush,
// so every call passes through here.
class DrainRecorder {
 public:
  struct Call {
    int fd;
    bool fd_was_open;
  };
  DrainRecorder();
  ~DrainRecorder();
  DrainRecorder(const DrainRecorder&) = delete;
  DrainRecorder& operator=(const DrainRecorder&) = delete;
  DrainRecorder(DrainRecorder&&) = delete;
  DrainRecorder& operator=(DrainRecorder&&) = delete;

  [[nodiscard]] const std::vector<Call>& calls() const { return calls_; }
  [[nodiscard]] const std::vector<Call>& flushes() const { return flushes_; }
  void Record(int fd, bool was_open) { calls_.push_back({fd, was_open}); }
  void RecordFlush(int fd, bool was_open) { flushes_.push_back({fd, was_open}); }

 private:
  std::vector<Call> calls_;
  std::vector<Call> flushes_;
};

// While it lives, every tcdrain waits (at most 20 s) until Release(), as a
// USB adapter's does while the printer holds CTS low.
class HeldDrains {
 public:
  HeldDrains();
  ~HeldDrains() { Release(); }
  HeldDrains(const HeldDrains&) = delete;
  HeldDrains& operator=(const HeldDrains&) = delete;
  HeldDrains(HeldDrains&&) = delete;
  HeldDrains& operator=(HeldDrains&&) = delete;
  void Release();
};

// While set, TIOCOUTQ reports this many bytes queued on every port, as a
// UART does (a pty reports none). The test program is linked with
// --wrap=ioctl.
extern std::function<int()> fake_queue;

// How many bytes a pty takes before a writer has to wait.
std::size_t PtyCapacity();

// While it lives, the program's words are Traditional Chinese (Taiwan), from
// the catalogue built beside the tests; English again after.
class InChinese {
 public:
  InChinese();
  ~InChinese();
  InChinese(const InChinese&) = delete;
  InChinese& operator=(const InChinese&) = delete;
  InChinese(InChinese&&) = delete;
  InChinese& operator=(InChinese&&) = delete;
};

// While it lives, a stat() of a link whose text starts with `held` (a
// /proc/PID/fd entry of a file on a dead NFS server, say) waits until
// Release(), at most 20 s. The test program is linked with --wrap=stat.
class HeldStats {
 public:
  explicit HeldStats(std::string held);
  ~HeldStats() { Release(); }
  HeldStats(const HeldStats&) = delete;
  HeldStats& operator=(const HeldStats&) = delete;
  HeldStats(HeldStats&&) = delete;
  HeldStats& operator=(HeldStats&&) = delete;
  void Release();
  // How many stat() calls passed by: none means the wrapping failed.
  [[nodiscard]] int seen() const;
};

// How many descriptors this process has open.
int OpenDescriptorCount();

// The sample receipt's bytes, one string per printer line, as worked out
// independently of the program (tests/data/sample_receipt.hex).
std::vector<std::string> ExpectedReceiptLines();
std::string ExpectedReceipt();

}  // namespace qj570::testing
