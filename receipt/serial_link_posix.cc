// Serial port 1 through termios. The port is a tty device such as
// /dev/ttyS0 or /dev/ttyUSB0; anything that is not a terminal is refused
// before a byte is written to it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "receipt/serial_link.h"

#ifndef QJ570_PORT_DEVICE
#define QJ570_PORT_DEVICE "/dev/ttyS0"
#endif

namespace qj570 {
namespace {

// "cannot open serial port /dev/ttyS0: Permission denied (hint)"
[[noreturn]] void Fail(int number, const char* what, const std::string& device,
                       const char* hint = "") {
  throw LinkError(number, std::string(what) + " " + device + ": " +
                              std::system_category().message(number) + hint);
}

// The failure of the system call that just returned -1. Takes no string by
// value, so nothing can touch errno before it is read.
[[noreturn]] void FailErrno(const char* what, const std::string& device) {
  const int number = errno;
  const char* hint = "";
  if (number == EACCES) {
    hint = " (add your user to the 'dialout' group and log in again)";
  } else if (number == EBUSY) {
    hint = " (another program is using it)";  // it took the port with TIOCEXCL
  }
  Fail(number, what, device, hint);
}

// Owns a descriptor while the port is being opened, so that every failure
// on the way closes it (and gives up exclusive use if it was taken).
class PortFd {
 public:
  explicit PortFd(int fd) noexcept : fd_(fd) {}
  ~PortFd() { Close(fd_, exclusive_); }
  PortFd(const PortFd&) = delete;
  PortFd& operator=(const PortFd&) = delete;
  PortFd(PortFd&&) = delete;
  PortFd& operator=(PortFd&&) = delete;

  [[nodiscard]] int get() const noexcept { return fd_; }
  void set_exclusive() noexcept { exclusive_ = true; }
  int release() noexcept { return std::exchange(fd_, -1); }

  // TIOCEXCL outlives our descriptor while anyone else holds the tty.
  static int Close(int fd, bool exclusive) noexcept {
    if (fd < 0) {
      return 0;
    }
    if (exclusive) {
      ::ioctl(fd, TIOCNXCL);
    }
    return ::close(fd);  // never retried: Linux frees fd even on EINTR
  }

 private:
  int fd_;
  bool exclusive_ = false;
};

constexpr tcflag_t kCflagMask = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL;
constexpr tcflag_t kIflagMask =
    IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT | PARMRK;
constexpr tcflag_t kLflagMask = ICANON | ECHO | ECHONL | ISIG | IEXTEN;

// Raw 8N1 at 9600 baud, no flow control. OPOST off keeps CR a CR and adds no
// LF. HUPCL drops DTR once the port is let go, so DTR is up only while the
// port is held.
void ApplyLineSettings(termios& tio) {
  tio.c_iflag &= ~kIflagMask;
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~kLflagMask;
  tio.c_cflag &= ~kCflagMask;
  tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  static_assert(kPortSettings.baud == 9600 && kPortSettings.data_bits == 8);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
}

bool SettingsTook(const termios& want, const termios& got) {
  return (got.c_cflag & kCflagMask) == (want.c_cflag & kCflagMask) &&
         (got.c_iflag & kIflagMask) == 0 && (got.c_oflag & OPOST) == 0 &&
         (got.c_lflag & kLflagMask) == 0 && cfgetispeed(&got) == B9600 &&
         cfgetospeed(&got) == B9600;
}

// DTR up, RTS down. A pty has no modem lines and says so with ENOTTY or
// EINVAL; by now tcgetattr has shown the device is a terminal, so that
// answer is harmless.
void SetModemLines(int fd, const std::string& device) {
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIS, &dtr) < 0 || ::ioctl(fd, TIOCMBIC, &rts) < 0) {
    if (errno != ENOTTY && errno != EINVAL) {
      FailErrno("cannot set the modem lines of serial port", device);
    }
  }
}

int AsFd(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

const char* DefaultPort() noexcept { return QJ570_PORT_DEVICE; }

void SerialLink::open() {
  if (is_open()) {
    Fail(EBUSY, "cannot open serial port", device_, " (it is already open)");
  }
  PortFd fd(::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    FailErrno("cannot open serial port", device_);
  }
  termios tio{};
  if (::tcgetattr(fd.get(), &tio) < 0) {
    const int number = errno;
    Fail(number, "cannot use serial port", device_, " (it is not a terminal)");
  }
  // TIOCEXCL does not stop root; a lock that every opener asks for does.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
    const int number = errno;
    Fail(number, "cannot lock serial port", device_,
         number == EWOULDBLOCK ? " (another program is using it)" : "");
  }
  if (::ioctl(fd.get(), TIOCEXCL) < 0) {
    FailErrno("cannot take serial port", device_);
  }
  fd.set_exclusive();
  ApplyLineSettings(tio);
  if (::tcsetattr(fd.get(), TCSANOW, &tio) < 0) {
    FailErrno("cannot set the line of serial port", device_);
  }
  termios got{};
  if (::tcgetattr(fd.get(), &got) < 0) {
    FailErrno("cannot read back the line of serial port", device_);
  }
  if (!SettingsTook(tio, got)) {
    Fail(EINVAL, "serial port", device_,
         " (it did not take 9600 baud, 8 data bits, no parity, 1 stop bit)");
  }
  SetModemLines(fd.get(), device_);
  // Opened non-blocking so that a missing carrier cannot hang the open;
  // writes block again so that every byte is queued.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    FailErrno("cannot set blocking writes on serial port", device_);
  }
  handle_ = fd.release();
}

void SerialLink::WriteBytes(const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(AsFd(handle_), p, left);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      FailErrno("cannot write to serial port", device_);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void SerialLink::close() {
  if (!is_open()) {
    FailNotOpen("close");
  }
  const int fd = AsFd(std::exchange(handle_, kNoHandle));
  int drained = 0;
  while ((drained = ::tcdrain(fd)) < 0 && errno == EINTR) {
  }
  const int drain_errno = errno;
  const int closed = PortFd::Close(fd, true);
  if (drained < 0) {
    Fail(drain_errno, "cannot send the rest of the data to serial port", device_);
  }
  if (closed < 0) {
    FailErrno("cannot close serial port", device_);
  }
}

void SerialLink::Release() noexcept {
  PortFd::Close(AsFd(std::exchange(handle_, kNoHandle)), true);
}

const std::int32_t SerialLink::kNotOpenError = EBADF;
const std::int32_t SerialLink::kUnencodableError = EILSEQ;

}  // namespace qj570
