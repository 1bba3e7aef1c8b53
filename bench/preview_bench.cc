// Times the picture of the sample receipt: from the command line to the PNG
// written (the real program, `qj570-rs232 --preview`, exec to exit), and the
// drawing alone in this process (finding and loading the font; drawing the
// rows; encoding the PNG), with the program's peak memory. Needs no display.
//
//   preview_bench [runs] [program]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "paper/paper.h"
#include "paper/picture.h"
#include "receipt/receipt_job.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Run {
  double ms = 0;
  long peak_kib = 0;
  bool ok = false;
};

Run RunProgram(const std::string& program, const std::string& png) {
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(program.c_str(), program.c_str(), "--preview", png.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {MsSince(start), usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Print(const char* what, const std::vector<double>& ms) {
  std::printf("%-36s median %7.2f ms (min %.2f, max %.2f)\n", what, Median(ms),
              *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const std::string program = argc > 2 ? argv[2] : QJ570_PROGRAM;
  char folder[] = "/tmp/preview_bench.XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string png = std::string(folder) + "/receipt.png";

  std::vector<double> whole;
  long peak_kib = 0;
  for (int i = 0; i < runs; ++i) {
    const Run run = RunProgram(program, png);
    if (!run.ok) {
      std::fprintf(stderr, "%s --preview %s failed\n", program.c_str(), png.c_str());
      return 1;
    }
    whole.push_back(run.ms);
    peak_kib = std::max(peak_kib, run.peak_kib);
  }
  std::remove(png.c_str());
  rmdir(folder);

  std::string bytes;
  for (const auto& line : qj570::SampleReceiptLines()) {
    bytes += line.Encode();
  }
  std::vector<double> find;
  double first_find = 0;  // with fontconfig's start, as the program has it
  std::vector<double> draw;
  std::vector<double> encode;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    qj570::paper::Font font = qj570::paper::Font::Find();
    (i == 0 ? first_find : find.emplace_back()) = MsSince(start);
    start = Clock::now();
    const auto picture = qj570::paper::Draw(qj570::paper::ReadStream(bytes), font);
    draw.push_back(MsSince(start));
    start = Clock::now();
    const auto file = qj570::paper::EncodePng(picture);
    encode.push_back(MsSince(start));
    if (i == 0) {
      std::printf("the sample: %d x %d pixels, PNG %zu bytes; %d runs\n", picture.width,
                  picture.height, file.size(), runs);
    }
  }
  Print("command line to PNG written (exec)", whole);
  std::printf("%-36s %7.2f ms\n", "font, first time (fontconfig starts)", first_find);
  if (!find.empty()) {
    Print("font, again: fontconfig + FreeType", find);
  }
  Print("drawing: bytes read, rows drawn", draw);
  Print("PNG encoding (libpng, in memory)", encode);
  std::printf("peak memory of qj570-rs232 --preview: %.1f MiB\n",
              static_cast<double>(peak_kib) / 1024.0);
  return 0;
}
