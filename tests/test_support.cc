#include "tests/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "app/translation.h"

namespace qj570::testing {

PtyPeer::PtyPeer() {
  if (::pipe(stop_pipe_) < 0) {
    throw std::runtime_error("pipe failed");
  }
  reader_ = std::thread([this] { Drain(); });
}

PtyPeer::~PtyPeer() {
  Vanish();
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

void PtyPeer::Vanish() {
  if (reader_.joinable()) {
    [[maybe_unused]] auto n = ::write(stop_pipe_[1], "x", 1);
    reader_.join();
  }
  pty_.Close();
}

void PtyPeer::Drain() {
  std::array<char, 4096> buf{};
  for (;;) {
    std::size_t want = 0;  // none once the printer has stopped
    {
      const std::lock_guard lock(mutex_);
      if (received_.size() < stop_after_) {  // paced: a read every 125 ms
        want = pace_ > 0 ? std::max<std::size_t>(pace_ / 8, 1) : buf.size();
      }
    }
    const bool paced = want < buf.size();
    std::array<pollfd, 2> fds{{{stop_pipe_[0], POLLIN, 0}, {pty_.master(), POLLIN, 0}}};
    if (::poll(fds.data(), want > 0 ? 2 : 1, paced ? 125 : -1) < 0) {
      continue;
    }
    if (fds[0].revents != 0) {
      return;
    }
    const ssize_t n =
        want > 0 && (fds[1].revents & POLLIN) != 0 ? ::read(pty_.master(), buf.data(), want) : 0;
    if (n > 0) {
      const std::lock_guard lock(mutex_);
      received_.append(buf.data(), static_cast<std::size_t>(n));
      last_read_ = std::chrono::steady_clock::now();
      arrived_.notify_all();
    } else if (want > 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (n > 0 && paced && ::poll(fds.data(), 1, 125) > 0) {
      return;
    }
  }
}

void PtyPeer::Pace(std::size_t bytes_per_second, std::size_t stop_after) {
  const std::lock_guard lock(mutex_);
  pace_ = bytes_per_second;
  stop_after_ = stop_after;
}

std::chrono::steady_clock::time_point PtyPeer::LastRead() {
  const std::lock_guard lock(mutex_);
  return last_read_;
}

std::string PtyPeer::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
  return received_;
}

std::string PtyPeer::Settle(std::chrono::milliseconds quiet) {
  std::unique_lock lock(mutex_);
  std::size_t seen = received_.size();
  while (arrived_.wait_for(lock, quiet, [&] { return received_.size() != seen; })) {
    seen = received_.size();
  }
  return received_;
}

std::string PtyPeer::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(received_, {});
}

namespace {
DrainRecorder* recorder = nullptr;  // the one that records now, if any

// Drains wait here while held; a drain may run on a thread of its own.
std::mutex held_mutex;
std::condition_variable held_released;
bool held = false;
}  // namespace

DrainRecorder::DrainRecorder() { recorder = this; }
DrainRecorder::~DrainRecorder() { recorder = nullptr; }

HeldDrains::HeldDrains() {
  const std::lock_guard lock(held_mutex);
  held = true;
}

void HeldDrains::Release() {
  const std::lock_guard lock(held_mutex);
  held = false;
  held_released.notify_all();
}

void WaitWhileDrainsAreHeld() {
  std::unique_lock lock(held_mutex);
  held_released.wait_for(lock, std::chrono::seconds(20), [] { return !held; });
}

std::function<int()> fake_queue;

std::size_t PtyCapacity() {
  const tools::PtyPair pty;
  ::fcntl(pty.slave(), F_SETFL, O_NONBLOCK);
  const std::string block(1024, 'x');
  std::size_t taken = 0;
  // The tty's buffer worker makes a little more room a moment after a
  // writer first had to wait.
  for (int round = 0; round < 2; ++round) {
    for (ssize_t n = 0; (n = ::write(pty.slave(), block.data(), block.size())) > 0;) {
      taken += static_cast<std::size_t>(n);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return taken;
}

namespace {
// Stats wait here while a HeldStats lives; the search for a port's holders
// runs on a thread of its own.
std::mutex stats_mutex;
std::condition_variable stats_released;
std::string held_stats;  // "" while none is held
int stats_seen = 0;
}  // namespace

HeldStats::HeldStats(std::string held) {
  const std::lock_guard lock(stats_mutex);
  held_stats = std::move(held);
  stats_seen = 0;
}

void HeldStats::Release() {
  const std::lock_guard lock(stats_mutex);
  held_stats.clear();
  stats_released.notify_all();
}

int HeldStats::seen() const {
  const std::lock_guard lock(stats_mutex);
  return stats_seen;
}

void WaitWhileStatIsHeld(const char* path) {
  std::array<char, 256> target{};
  const ssize_t length = ::readlink(path, target.data(), target.size());
  std::unique_lock lock(stats_mutex);
  ++stats_seen;
  if (!held_stats.empty() && length > 0 &&
      std::string_view(target.data(), static_cast<std::size_t>(length)).starts_with(held_stats)) {
    stats_released.wait_for(lock, std::chrono::seconds(20), [] { return held_stats.empty(); });
  }
}

int OpenDescriptorCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  const auto count = std::distance(begin(fds), end(fds));
  return static_cast<int>(count) - 1;  // the iterator's own descriptor
}

std::vector<std::string> ExpectedReceiptLines() {
  std::ifstream file(QJ570_SOURCE_DIR "/tests/data/sample_receipt.hex");
  std::vector<std::string> lines;
  std::string text;
  while (std::getline(file, text)) {
    std::istringstream hex(text);
    std::string line;
    unsigned byte = 0;
    while (hex >> std::hex >> byte) {
      line.push_back(static_cast<char>(byte));
    }
    lines.push_back(line);
  }
  return lines;
}

std::string ExpectedReceipt() {
  std::string all;
  for (const std::string& line : ExpectedReceiptLines()) {
    all += line;
  }
  return all;
}

// LANGUAGE picks the catalogue; gettext heeds it only beside a locale other
// than C, and since glibc 2.41 (Debian 13) other than C.UTF-8 too.
InChinese::InChinese() {
  ::setenv("LANGUAGE", "zh_TW", 1);      // NOLINT(concurrency-mt-unsafe): one thread
  ::setenv("LC_ALL", "zh_TW.UTF-8", 1);  // NOLINT(concurrency-mt-unsafe)
  app::SetUpLanguage();
}

InChinese::~InChinese() {
  ::unsetenv("LANGUAGE");       // NOLINT(concurrency-mt-unsafe)
  ::unsetenv("LC_ALL");         // NOLINT(concurrency-mt-unsafe)
  std::setlocale(LC_ALL, "C");  // NOLINT(concurrency-mt-unsafe)
}

}  // namespace qj570::testing

extern "C" int __real_tcdrain(int fd);  // NOLINT(bugprone-reserved-identifier): ld's name

extern "C" int __real_tcflush(int fd, int queue);  // NOLINT(bugprone-reserved-identifier)

extern "C" int __wrap_tcdrain(int fd) {  // NOLINT(bugprone-reserved-identifier): ld's name
  if (qj570::testing::recorder != nullptr) {
    qj570::testing::recorder->Record(fd, ::fcntl(fd, F_GETFD) != -1);
  }
  qj570::testing::WaitWhileDrainsAreHeld();
  return __real_tcdrain(fd);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl50-cpp): ld's name, ioctl's form
extern "C" int __real_ioctl(int fd, unsigned long request, ...);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl50-cpp): ld's name, ioctl's form
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  if (request == TIOCOUTQ && qj570::testing::fake_queue) {
    *static_cast<int*>(argument) = qj570::testing::fake_queue();
    return 0;
  }
  return __real_ioctl(fd, request, argument);
}

extern "C" int __real_stat(const char* path,  // NOLINT(bugprone-reserved-identifier)
                           struct stat* st);

// errno is the real stat's: the wait's readlink comes first.
extern "C" int __wrap_stat(const char* path,  // NOLINT(bugprone-reserved-identifier)
                           struct stat* st) {
  qj570::testing::WaitWhileStatIsHeld(path);
  return __real_stat(path, st);
}

extern "C" int __wrap_tcflush(int fd, int queue) {  // NOLINT(bugprone-reserved-identifier)
  if (qj570::testing::recorder != nullptr && queue == TCOFLUSH) {
    qj570::testing::recorder->RecordFlush(fd, ::fcntl(fd, F_GETFD) != -1);
  }
  return __real_tcflush(fd, queue);
}
