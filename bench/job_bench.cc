// Times one whole ReceiptJob::run against a pseudo-terminal (open, 25
// writes, drain, close) and the same job written in Python with pyserial,
// in the same run, and prints both with their ratio. On a real line the
// 353 ms of line time dominate; this measures the overhead beyond it.
//
//   job_bench [--crowd N] [runs] [path/to/pyserial_peer.py]
//
// The two take turns, one job each, so that both see the same machine.
// With --crowd N, N sleeping processes hold 20 descriptors each meanwhile,
// as on a busy desktop: the link looks through every process's
// descriptors for another holder of the port before it opens it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "receipt/receipt_job.h"
#include "tools/pty_pair.h"

namespace {

struct Stats {
  double median_us, p10_us, p90_us, min_us, max_us;
};

Stats Summarize(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) {
    return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
  };
  return {at(0.5), at(0.1), at(0.9), us.front(), us.back()};
}

void Print(const char* name, const Stats& s) {
  std::printf("%-22s median %8.1f us   p10 %8.1f   p90 %8.1f   min %8.1f   max %8.1f\n", name,
              s.median_us, s.p10_us, s.p90_us, s.min_us, s.max_us);
}

// The Python peer, serving one job per line it is sent and answering with
// that job's duration in microseconds, timed inside Python.
class Peer {
 public:
  Peer(const std::string& script, const std::string& port) {
    std::array<int, 2> to{};
    std::array<int, 2> from{};
    if (::pipe2(to.data(), O_CLOEXEC) < 0 || ::pipe2(from.data(), O_CLOEXEC) < 0) {
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from[1], 1);
    std::array<std::string, 4> args{QJ570_PYTHON, script, port, "serve"};
    std::array<char*, 5> argv{args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                              nullptr};
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      throw std::system_error(spawned, std::generic_category(), "cannot start " + args[0]);
    }
    ::close(to[0]);
    ::close(from[1]);
    in_ = ::fdopen(to[1], "w");
    out_ = ::fdopen(from[0], "r");
  }
  ~Peer() {
    std::fclose(in_);  // end of input: the peer ends
    std::fclose(out_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  Peer(Peer&&) = delete;
  Peer& operator=(Peer&&) = delete;

  // One job; a negative result when the peer could not run.
  double RunOnce() {
    double us = -1;
    if (std::fputs("run\n", in_) < 0 || std::fflush(in_) != 0 ||
        std::fscanf(out_, "%lf", &us) != 1) {
      return -1;
    }
    return us;
  }

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

// Sleeping processes, each with 20 descriptors of the kinds a desktop's
// processes hold: standard streams on /dev/null, random numbers, a device
// node that needs a look (/dev/full), pipes, files, sockets, memory files.
// None has the port: each closes what it inherited first.
class Crowd {
 public:
  explicit Crowd(int size) {
    for (int i = 0; i < size; ++i) {
      const pid_t child = ::fork();
      if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
      }
      if (child == 0) {
        ::close_range(0, ~0U, 0);
        for (const char* node :
             {"/dev/null", "/dev/null", "/dev/null", "/dev/urandom", "/dev/full", "/dev/full",
              "/etc/passwd", "/etc/passwd", "/etc/hostname", "/etc/os-release"}) {
          ::open(node, O_RDONLY);
        }
        std::array<int, 2> pair{};
        for (int p = 0; p < 3; ++p) {
          if (::pipe(pair.data()) != 0) {
            ::_exit(1);
          }
        }
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair.data());
        ::memfd_create("crowd", 0);
        ::memfd_create("crowd", 0);
        ::pause();
        ::_exit(0);
      }
      children_.push_back(child);
    }
  }
  ~Crowd() {
    for (const pid_t child : children_) {
      ::kill(child, SIGKILL);
    }
    for (const pid_t child : children_) {
      ::waitpid(child, nullptr, 0);
    }
  }
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;
  Crowd(Crowd&&) = delete;
  Crowd& operator=(Crowd&&) = delete;

 private:
  std::vector<pid_t> children_;
};

}  // namespace

namespace {

int Bench(int argc, char** argv) {
  int crowd_size = 0;
  if (argc > 2 && std::string(argv[1]) == "--crowd") {
    crowd_size = std::atoi(argv[2]);
    argc -= 2;
    argv += 2;
  }
  const int runs = argc > 1 ? std::atoi(argv[1]) : 1000;
  const std::string peer_script = argc > 2 ? argv[2] : QJ570_PEER_SCRIPT;
  const Crowd crowd(crowd_size);

  qj570::tools::PtyPair pty;  // the peer opens the port by its name
  const char* name = pty.slave_path().c_str();
  const int master = pty.master();
  std::atomic<long> received{0};
  // The printer's end: a plain blocking reader, as a terminal program would
  // be. Closing the master at the end wakes it.
  std::thread reader([&] {
    std::array<char, 4096> buf{};
    ssize_t n = 0;
    while ((n = ::read(master, buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR)) {
      received += n > 0 ? n : 0;
    }
  });

  qj570::SerialLink link(name);
  qj570::ReceiptJob job(link);
  // The floor neither side can go below: open, the same 25 writes, close,
  // with no line settings, no lock and no drain.
  std::vector<std::string> lines;
  for (const auto& entry : qj570::SampleReceipt()) {
    lines.push_back(qj570::BuildLine(entry).Encode());
  }
  const auto bare_job = [&] {
    const int fd = ::open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    for (const std::string& line : lines) {
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        throw std::system_error(errno, std::generic_category(), "write");
      }
    }
    ::close(fd);
  };
  std::vector<double> ours;
  std::vector<double> theirs;
  std::vector<double> floor;
  {
    Peer peer(peer_script, name);
    constexpr int kWarmUp = 20;
    for (int i = 0; i < kWarmUp + runs; ++i) {
      const auto start = std::chrono::steady_clock::now();
      job.run();
      const auto end = std::chrono::steady_clock::now();
      const double peer_us = peer.RunOnce();
      const auto bare_start = std::chrono::steady_clock::now();
      bare_job();
      const auto bare_end = std::chrono::steady_clock::now();
      if (peer_us < 0) {
        std::printf("pyserial peer did not run (is python3-serial installed?)\n");
        return 1;
      }
      if (i >= kWarmUp) {
        ours.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        theirs.push_back(peer_us);
        floor.push_back(std::chrono::duration<double, std::micro>(bare_end - bare_start).count());
      }
    }
  }
  pty.Close();
  reader.join();

  const Stats our_stats = Summarize(ours);
  const Stats peer_stats = Summarize(theirs);
  std::printf("%d jobs each, taking turns, beside %d sleeping processes:\n", runs, crowd_size);
  Print("ReceiptJob::run (C++)", our_stats);
  Print("pyserial (Python)", peer_stats);
  Print("floor: 25 bare writes", Summarize(floor));
  std::printf("ratio (pyserial median / ours): %.1fx   [goal: >= 5x]\n",
              peer_stats.median_us / our_stats.median_us);
  std::printf("ours beyond the floor (medians): %.1f us\n",
              our_stats.median_us - Summarize(floor).median_us);
  std::printf("bytes received on the pty: %ld (expected %ld)\n", received.load(),
              339L * 3 * (runs + 20));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Bench(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "job_bench: %s\n", e.what());
  }
  return 1;
}
