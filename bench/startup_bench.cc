// Times how long the program takes from exec to its window being mapped and
// painted, and its peak memory, against the same program written with
// Python's tkinter and pyserial, in the same run. Needs an X display:
//
//   xvfb-run -a startup_bench [runs] [program] [peer.py]
//
// "Painted" means the button's caption is on the screen: the pixels where
// Command1 sits are no longer all one colour.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double mapped_ms = -1;
  double painted_ms = -1;
  long peak_kib = 0;
};

bool NameIs(Display* display, Window window, const char* name) {
  char* got = nullptr;
  const bool same =
      XFetchName(display, window, &got) != 0 && got != nullptr && std::strcmp(got, name) == 0;
  XFree(got);
  return same;
}

// Command1's place: x 40..200, y 24..88.
bool ButtonPainted(Display* display, Window window) {
  XImage* image = XGetImage(display, window, 40, 24, 161, 65, AllPlanes, ZPixmap);
  if (image == nullptr) {
    return false;
  }
  std::set<unsigned long> colours;
  for (int y = 0; y < image->height && colours.size() < 3; y += 2) {
    for (int x = 0; x < image->width && colours.size() < 3; ++x) {
      colours.insert(XGetPixel(image, x, y));
    }
  }
  XDestroyImage(image);
  return colours.size() >= 3;  // face, frame and caption
}

Sample RunOnce(Display* display, const std::vector<std::string>& command) {
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, True);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const auto& arg : command) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  const auto ms = [&] {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  Sample sample;
  Window window = 0;
  while (ms() < 20000 && sample.painted_ms < 0) {
    if (window == 0) {
      pollfd p{ConnectionNumber(display), POLLIN, 0};
      if (XPending(display) == 0 && poll(&p, 1, 100) <= 0) {
        continue;
      }
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && NameIs(display, event.xmap.window, "qj570-rs232")) {
        window = event.xmap.window;
        sample.mapped_ms = ms();
      }
    } else if (ButtonPainted(display, window)) {
      sample.painted_ms = ms();
    } else {
      usleep(200);
    }
  }
  kill(pid, SIGTERM);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  sample.peak_kib = usage.ru_maxrss;
  return sample;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Report(const char* name, const std::vector<Sample>& samples, double* painted, double* peak) {
  std::vector<double> mapped;
  std::vector<double> shown;
  std::vector<double> kib;
  for (const Sample& s : samples) {
    mapped.push_back(s.mapped_ms);
    shown.push_back(s.painted_ms);
    kib.push_back(static_cast<double>(s.peak_kib));
  }
  *painted = Median(shown);
  *peak = *std::max_element(kib.begin(), kib.end()) / 1024.0;
  std::printf("%-26s mapped %7.1f ms   painted %7.1f ms (min %.1f, max %.1f)   peak %6.1f MiB\n",
              name, Median(mapped), *painted, *std::min_element(shown.begin(), shown.end()),
              *std::max_element(shown.begin(), shown.end()), *peak);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::string program = argc > 2 ? argv[2] : QJ570_PROGRAM;
  const std::string peer = argc > 3 ? argv[3] : QJ570_TK_PEER;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "no X display (run it under xvfb-run -a)\n");
    return 1;
  }
  std::vector<Sample> ours;
  std::vector<Sample> theirs;
  // Alternate, so both see the same machine, and let the X server settle
  // after each client, as it would between two programs a user starts.
  for (int i = 0; i < runs; ++i) {
    ours.push_back(RunOnce(display, {program}));
    usleep(300000);
    theirs.push_back(RunOnce(display, {QJ570_PYTHON, peer}));
    usleep(300000);
  }
  double our_ms = 0;
  double our_mib = 0;
  double peer_ms = 0;
  double peer_mib = 0;
  std::printf("median of %d runs, exec to window mapped and painted:\n", runs);
  Report("qj570-rs232 (FLTK)", ours, &our_ms, &our_mib);
  Report("tkinter + pyserial", theirs, &peer_ms, &peer_mib);
  std::printf("start: %.1fx faster [goal >= 3x]; memory: %.2f of the peer's [goal <= 0.5]\n",
              peer_ms / our_ms, our_mib / peer_mib);
  XCloseDisplay(display);
  return 0;
}
