// Runs inside the QEMU guest, on real kernel drivers: the receipt job on a
// port, the line and modem lines read back while it is open, and the
// ports the finder sees. Prints one line per result for the host to check.
//
//   probe jobs DEVICE [BAUD FRAME FLOW]  two jobs; the first reads the line
//                          back mid-job. Other settings than the printer's:
//                          19200 E2 rtscts (8 data bits; N, O or E; 1 or 2;
//                          none, rtscts or xonxoff)
//   probe job DEVICE       one job; its error, if any, and how long it took
//   probe loop DEVICE      jobs until one fails (the host unplugs the port)
//   probe unplugs DEVICE STOP  jobs until the file STOP exists, a line each,
//                          whatever fails (the guest unplugs the port again
//                          and again)
//   probe sink TTY FILE    the device's side: appends what TTY receives to
//                          FILE until TTY hangs up
//   probe excl DEVICE      a second link fails while one holds the port; then
//                          an open by another user must still be refused
//   probe ports            the serial ports found
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "receipt/receipt_job.h"
#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"

namespace {

using qj570::LinkError;
using Clock = std::chrono::steady_clock;

int Bit(tcflag_t flags, tcflag_t bit) { return (flags & bit) != 0 ? 1 : 0; }

int Baud(speed_t speed) {
  static constexpr std::array<std::pair<speed_t, int>, 8> kRates{{{B1200, 1200},
                                                                  {B2400, 2400},
                                                                  {B4800, 4800},
                                                                  {B9600, 9600},
                                                                  {B19200, 19200},
                                                                  {B38400, 38400},
                                                                  {B57600, 57600},
                                                                  {B115200, 115200}}};
  for (const auto& [code, baud] : kRates) {
    if (code == speed) {
      return baud;
    }
  }
  return -static_cast<int>(speed);
}

// "19200 E2 rtscts" as settings; the printer's when not given.
qj570::PortSettings Settings(int argc, char* argv[]) {
  qj570::PortSettings settings = qj570::kPortSettings;
  if (argc > 5) {
    const std::string frame = argv[4];
    const std::string flow = argv[5];
    settings.baud = static_cast<unsigned>(std::stoul(argv[3]));
    settings.parity = frame[0] == 'E'   ? qj570::Parity::kEven
                      : frame[0] == 'O' ? qj570::Parity::kOdd
                                        : qj570::Parity::kNone;
    settings.stop_bits = frame[1] == '2' ? qj570::StopBits::kTwo : qj570::StopBits::kOne;
    settings.flow_control = flow == "rtscts"    ? qj570::FlowControl::kRtsCts
                            : flow == "xonxoff" ? qj570::FlowControl::kXonXoff
                                                : qj570::FlowControl::kNone;
  }
  return settings;
}

// The link's own descriptor of `device`. Another open would raise DTR and
// RTS again, as every open of a tty does, and hide what the link set.
int LinkFd(const std::string& device) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == device) {
      return std::stoi(entry.path().filename().string());
    }
  }
  return -1;
}

// The line and the modem lines as the link left them.
void PrintLine(const std::string& device) {
  const int fd = LinkFd(device);
  termios tio{};
  int lines = 0;
  if (fd < 0 || ::tcgetattr(fd, &tio) < 0 || ::ioctl(fd, TIOCMGET, &lines) < 0) {
    std::printf("LINE %s unreadable: errno %d\n", device.c_str(), errno);
  } else {
    const speed_t speed = cfgetospeed(&tio);
    std::printf(
        "LINE %s speed=%d csize8=%d parenb=%d parodd=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d "
        "opost=%d icanon=%d echo=%d isig=%d hupcl=%d dtr=%d rts=%d\n",
        device.c_str(), Baud(speed), (tio.c_cflag & CSIZE) == CS8 ? 1 : 0, Bit(tio.c_cflag, PARENB),
        Bit(tio.c_cflag, PARODD), Bit(tio.c_cflag, CSTOPB), Bit(tio.c_cflag, CRTSCTS),
        Bit(tio.c_iflag, IXON), Bit(tio.c_iflag, IXOFF), Bit(tio.c_oflag, OPOST),
        Bit(tio.c_lflag, ICANON), Bit(tio.c_lflag, ECHO), Bit(tio.c_lflag, ISIG),
        Bit(tio.c_cflag, HUPCL), (lines & TIOCM_DTR) != 0 ? 1 : 0,
        (lines & TIOCM_RTS) != 0 ? 1 : 0);
  }
}

// The 8250 driver shows each port's modem lines in /proc, open or not.
void PrintProcLines(const std::string& device) {
  const std::string index = device.substr(device.find("ttyS") + 4);
  std::ifstream proc("/proc/tty/driver/serial");
  std::string line;
  while (std::getline(proc, line)) {
    if (line.starts_with(index + ":")) {
      std::printf("CLOSED %s dtr=%d rts=%d\n", device.c_str(),
                  line.find("|DTR") != std::string::npos ? 1 : 0,
                  line.find("|RTS") != std::string::npos ? 1 : 0);
    }
  }
}

const char* TroubleName(qj570::PortTrouble trouble) {
  static constexpr const char* kNames[] = {"other", "missing",    "no-hardware", "permission",
                                           "busy",  "not-serial", "gone",        "stalled"};
  return kNames[static_cast<int>(trouble)];
}

// "ERROR job 5 open no-hardware cannot use serial port ...": the number,
// whether the port was being opened, and what the trouble means.
void PrintError(const char* what, const LinkError& error) {
  std::printf("ERROR %s %d %s %s %s\n", what, error.number(),
              qj570::IsOpeningStep(error.step()) ? "open" : "use", TroubleName(error.trouble()),
              error.what());
}

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int Job(const std::string& device, const qj570::PortSettings& settings = qj570::kPortSettings) {
  qj570::SerialLink link(device, settings);
  const auto start = Clock::now();
  try {
    qj570::ReceiptJob(link).run();
  } catch (const LinkError& error) {
    PrintError("job", error);
    std::printf("TOOK %lld ms\n", MillisecondsSince(start));
    return 1;
  }
  std::printf("JOB %s done\n", device.c_str());
  return 0;
}

// "RESULT 7 ok 312" or "RESULT 8 fail 25 use gone cannot ...": every job in
// order, for the host to match against the bytes that arrived.
int Unplugs(const std::string& device, const std::string& stop) {
  for (int job = 1; !std::filesystem::exists(stop); ++job) {
    qj570::SerialLink link(device);  // a failed job leaves its port held
    const auto began = Clock::now();
    try {
      qj570::ReceiptJob(link).run();
      std::printf("RESULT %d ok %lld\n", job, MillisecondsSince(began));
    } catch (const LinkError& error) {
      std::printf("RESULT %d fail %lld %s %s %s\n", job, MillisecondsSince(began),
                  qj570::IsOpeningStep(error.step()) ? "open" : "use", TroubleName(error.trouble()),
                  error.what());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::printf("UNPLUGS done\n");
  return 0;
}

// Reads like a printer: raw, everything, at once, until the line hangs up.
int Sink(const std::string& tty, const std::string& file) {
  std::ofstream out(file, std::ios::binary | std::ios::app);
  const int fd = ::open(tty.c_str(), O_RDONLY | O_NOCTTY);
  if (fd < 0) {
    std::printf("SINK cannot open %s: errno %d\n", tty.c_str(), errno);
    return 1;
  }
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  std::array<char, 4096> buf{};
  ssize_t n = 0;
  while ((n = ::read(fd, buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR)) {
    out.write(buf.data(), n > 0 ? n : 0);
    out.flush();
  }
  ::close(fd);
  return 0;
}

// The first job stops while the port is open to read the line back; the
// second is a plain one.
int Jobs(const std::string& device, const qj570::PortSettings& settings) {
  qj570::SerialLink link(device, settings);
  try {
    link.open();
    PrintLine(device);
    for (const auto& line : qj570::SampleReceiptLines()) {
      link.write(line.Encode());
    }
    link.close();
  } catch (const LinkError& error) {
    PrintError("jobs", error);
    return 1;
  }
  if (device.find("ttyS") != std::string::npos) {
    PrintProcLines(device);
  }
  return Job(device, settings);
}

// The exclusive flag belongs to the tty: the second link, failing, must not
// give up the first one's. An unprivileged open shows whether it holds.
int Exclusive(const std::string& device) {
  qj570::SerialLink first(device);
  qj570::SerialLink second(device);
  try {
    first.open();
  } catch (const LinkError& error) {
    PrintError("excl", error);
    return 1;
  }
  const char* second_result = "opened";
  try {
    second.open();
  } catch (const LinkError& error) {
    second_result = TroubleName(error.trouble());
  }
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(100);
    }
    ::_exit(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 0 : errno);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::printf("EXCL %s second=%s other=%d\n", device.c_str(), second_result, WEXITSTATUS(status));
  first.close();
  return 0;
}

int Loop(const std::string& device) {
  qj570::SerialLink link(device);
  std::printf("LOOP %s started\n", device.c_str());
  std::fflush(stdout);
  for (long jobs = 0;; ++jobs) {
    const auto start = Clock::now();
    try {
      qj570::ReceiptJob(link).run();
    } catch (const LinkError& error) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      std::printf("LOOP %s failed after %ld jobs; the failing job took %lld ms\n", device.c_str(),
                  jobs, static_cast<long long>(ms));
      PrintError("loop", error);
      return 0;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string command = argc > 1 ? argv[1] : "";
  const std::string device = argc > 2 ? argv[2] : "";
  if (command == "jobs") {
    return Jobs(device, Settings(argc, argv));
  }
  if (command == "job") {
    return Job(device);
  }
  if (command == "excl") {
    return Exclusive(device);
  }
  if (command == "loop") {
    return Loop(device);
  }
  if (command == "unplugs" && argc > 3) {
    return Unplugs(device, argv[3]);
  }
  if (command == "sink" && argc > 3) {
    return Sink(device, argv[3]);
  }
  if (command == "ports") {
    // PORT device bus driver vendor:product description
    for (const auto& port : qj570::FindSerialPorts()) {
      constexpr std::array<const char*, 4> kBuses = {"unknown", "board", "usb", "bluetooth"};
      std::printf("PORT %s %s %s %04x:%04x %s\n", port.device.c_str(),
                  kBuses.at(static_cast<std::size_t>(port.bus)),
                  port.driver.empty() ? "-" : port.driver.c_str(), port.vendor_id, port.product_id,
                  port.description.c_str());
    }
    std::printf("PORTS done\n");
    return 0;
  }
  std::fprintf(stderr,
               "usage: probe jobs DEVICE [BAUD FRAME FLOW] | job|loop|excl DEVICE | unplugs DEVICE "
               "STOP | sink TTY FILE | ports\n");
  return 2;
}
