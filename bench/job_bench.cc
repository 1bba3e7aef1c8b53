// Times one whole ReceiptJob::run against a pseudo-terminal (open, 25
// writes, drain, close) and the same job written in Python with pyserial,
// in the same run, and prints both with their ratio. On a real line the
// 353 ms of line time dominate; this measures the overhead beyond it.
//
//   job_bench [runs] [path/to/pyserial_peer.py]
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "receipt/receipt_job.h"

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

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 500;
  const std::string peer_script = argc > 2 ? argv[2] : QJ570_PEER_SCRIPT;

  int master = -1;
  int slave = -1;
  std::array<char, 128> name{};
  if (::openpty(&master, &slave, name.data(), nullptr, nullptr) < 0) {
    std::perror("openpty");
    return 1;
  }
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

  qj570::SerialLink link(name.data());
  qj570::ReceiptJob job(link);
  for (int i = 0; i < 20; ++i) {
    job.run();  // warm-up
  }
  std::vector<double> ours;
  ours.reserve(static_cast<std::size_t>(runs));
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    job.run();
    const auto end = std::chrono::steady_clock::now();
    ours.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  const Stats our_stats = Summarize(ours);
  Print("ReceiptJob::run (C++)", our_stats);

  // The peer prints one duration in microseconds per run.
  const std::string command = std::string(QJ570_PYTHON) + " '" + peer_script + "' '" + name.data() +
                              "' " + std::to_string(runs);
  std::vector<double> theirs;
  if (FILE* peer = ::popen(command.c_str(), "r")) {
    double us = 0;
    while (std::fscanf(peer, "%lf", &us) == 1) {
      theirs.push_back(us);
    }
    ::pclose(peer);
  }
  ::close(slave);
  ::close(master);
  reader.join();
  if (theirs.empty()) {
    std::printf("pyserial peer did not run (is python3-serial installed?)\n");
    return 1;
  }
  const Stats peer_stats = Summarize(theirs);
  Print("pyserial (Python)", peer_stats);
  std::printf("ratio (pyserial median / ours): %.1fx   [goal: >= 5x]\n",
              peer_stats.median_us / our_stats.median_us);
  std::printf("bytes received on the pty: %ld (%d + %zu runs of 339)\n", received.load(), runs + 20,
              theirs.size() + 20);
  return 0;
}
