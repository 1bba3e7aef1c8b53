// Serial ports through termios. The port is a tty device such as
// /dev/ttyS0 or /dev/ttyUSB0; anything that is not a terminal is refused
// before a byte is written to it.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "receipt/serial_link.h"

namespace qj570 {
namespace {

PortTrouble TroubleOf(int number) {
  switch (number) {
    case ENOENT:
      return PortTrouble::kMissing;
    case EIO:  // an 8250 placeholder: the node exists, no UART is behind it
    case ENXIO:
    case ENODEV:
    case ETIMEDOUT:  // a USB adapter that does not answer its driver
      return PortTrouble::kNoHardware;
    case EACCES:
    case EPERM:
      return PortTrouble::kPermission;
    case EBUSY:  // another opener took it with TIOCEXCL
    case EWOULDBLOCK:
      return PortTrouble::kBusy;
    case ENOTTY:
      return PortTrouble::kNotTerminal;
    default:
      return PortTrouble::kOther;
  }
}

[[noreturn]] void Fail(int number, const char* step, const std::string& device,
                       LinkError::Step when, PortTrouble trouble) {
  throw LinkError(number,
                  PortFailure(step, device, std::system_category().message(number), trouble), when);
}

// The failure of the system call that just returned -1, while the port is
// being opened. Takes no string by value, so nothing touches errno first.
[[noreturn]] void FailOpening(const char* step, const std::string& device) {
  const int number = errno;
  Fail(number, step, device, LinkError::Step::kOpen, TroubleOf(number));
}

// The same on a port that was open: it can only have gone away.
[[noreturn]] void FailUsing(const char* step, const std::string& device) {
  const int number = errno;
  const bool gone = number == EIO || number == ENODEV || number == ENXIO || number == ETIMEDOUT;
  Fail(number, step, device, LinkError::Step::kUse,
       gone ? PortTrouble::kGone : PortTrouble::kOther);
}

int Fd(const PortHandle& port) { return static_cast<int>(port.get()); }

speed_t Speed(unsigned baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

tcflag_t DataBits(unsigned bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL;
constexpr tcflag_t kIflagMask =
    IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT | PARMRK;
constexpr tcflag_t kLflagMask = ICANON | ECHO | ECHONL | ISIG | IEXTEN;

// Raw, with the settings' speed, frame and flow control. OPOST off keeps CR
// a CR and adds no LF. HUPCL drops DTR once the port is let go.
termios LineSettings(termios tio, const PortSettings& settings) {
  tio.c_iflag &= ~kIflagMask;
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~kLflagMask;
  tio.c_cflag &= ~kCflagMask;
  tio.c_cflag |= DataBits(settings.data_bits) | CLOCAL | CREAD | HUPCL;
  if (settings.parity != Parity::kNone) {
    tio.c_cflag |= PARENB | (settings.parity == Parity::kOdd ? PARODD : 0);
  }
  if (settings.stop_bits == StopBits::kTwo) {
    tio.c_cflag |= CSTOPB;
  }
  if (settings.flow_control == FlowControl::kRtsCts) {
    tio.c_cflag |= CRTSCTS;
  } else if (settings.flow_control == FlowControl::kXonXoff) {
    tio.c_iflag |= IXON | IXOFF;
  }
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, Speed(settings.baud));
  cfsetospeed(&tio, Speed(settings.baud));
  return tio;
}

// A driver may quietly keep what it cannot do; the line must be as asked.
bool SettingsTook(const termios& want, const termios& got) {
  return (got.c_cflag & kCflagMask) == (want.c_cflag & kCflagMask) &&
         (got.c_iflag & kIflagMask) == (want.c_iflag & kIflagMask) && (got.c_oflag & OPOST) == 0 &&
         (got.c_lflag & kLflagMask) == 0 && cfgetispeed(&got) == cfgetispeed(&want) &&
         cfgetospeed(&got) == cfgetospeed(&want);
}

// The 8250 driver registers ttyS nodes (major 4, minor 64 on) whether or
// not a UART answers, and gives those without one the type PORT_UNKNOWN.
// Other drivers (cdc-acm) leave the type 0 for ports that work.
bool NoUartBehind(int fd) {
  struct stat st {};
  serial_struct info{};
  return ::fstat(fd, &st) == 0 && major(st.st_rdev) == 4 && minor(st.st_rdev) >= 64 &&
         ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
}

// DTR and RTS as the settings say. A pty has no modem lines and says so
// with ENOTTY or EINVAL; by now tcgetattr has shown the device is a
// terminal, so that answer is harmless.
void SetModemLines(int fd, const PortSettings& settings, const std::string& device) {
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  const bool ok = ::ioctl(fd, settings.dtr ? TIOCMBIS : TIOCMBIC, &dtr) == 0 &&
                  (settings.flow_control == FlowControl::kRtsCts ||
                   ::ioctl(fd, settings.rts ? TIOCMBIS : TIOCMBIC, &rts) == 0);
  if (!ok && errno != ENOTTY && errno != EINVAL) {
    FailOpening("cannot set the modem lines of serial port", device);
  }
}

}  // namespace

std::optional<std::string> PortFromUserName(std::string_view name) {
  if (name.empty()) {
    return std::nullopt;
  }
  return std::string(name);
}

std::int32_t PortHandle::Close() noexcept {
  const int fd = static_cast<int>(std::exchange(native_, kNone));
  // Never retried: Linux frees the descriptor even on EINTR.
  return fd < 0 || ::close(fd) == 0 ? 0 : errno;
}

void SerialLink::open() {
  if (is_open()) {
    Fail(EBUSY, "cannot open serial port", device_, LinkError::Step::kUse, PortTrouble::kOther);
  }
  if (Speed(settings_.baud) == B0 || settings_.data_bits < 5 || settings_.data_bits > 8) {
    FailLine(EINVAL, "this system cannot set");
  }
  PortHandle port(::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!port.valid()) {
    FailOpening("cannot open serial port", device_);
  }
  termios tio{};
  if (::tcgetattr(Fd(port), &tio) < 0) {
    FailOpening("cannot use serial port", device_);
  }
  if (NoUartBehind(Fd(port))) {
    Fail(EIO, "cannot use serial port", device_, LinkError::Step::kOpen, PortTrouble::kNoHardware);
  }
  // TIOCEXCL does not stop root; a lock that every opener asks for does.
  if (::flock(Fd(port), LOCK_EX | LOCK_NB) < 0) {
    FailOpening("cannot lock serial port", device_);
  }
  const termios want = LineSettings(tio, settings_);
  if (::tcsetattr(Fd(port), TCSANOW, &want) < 0) {
    FailOpening("cannot set the line of serial port", device_);
  }
  termios got{};
  if (::tcgetattr(Fd(port), &got) < 0) {
    FailOpening("cannot read back the line of serial port", device_);
  }
  if (!SettingsTook(want, got)) {
    FailLine(EINVAL, "the driver did not take");
  }
  SetModemLines(Fd(port), settings_, device_);
  // Opened non-blocking so that a missing carrier cannot hang the open;
  // writes block again so that every byte is queued.
  const int flags = ::fcntl(Fd(port), F_GETFL);
  if (flags < 0 || ::fcntl(Fd(port), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    FailOpening("cannot set blocking writes on serial port", device_);
  }
  // Last, so that no failure above has to give it back.
  if (::ioctl(Fd(port), TIOCEXCL) < 0) {
    FailOpening("cannot take serial port", device_);
  }
  port_ = std::move(port);
}

void SerialLink::WriteBytes(const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(Fd(port_), p, left);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      FailUsing("cannot write to serial port", device_);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void SerialLink::close() {
  if (!is_open()) {
    FailNotOpen("close");
  }
  PortHandle port = std::move(port_);
  int drained = 0;
  while ((drained = ::tcdrain(Fd(port))) < 0 && errno == EINTR) {
  }
  const int drain_error = drained < 0 ? errno : 0;
  ::ioctl(Fd(port), TIOCNXCL);  // it outlives us while anyone else holds the tty
  const int close_error = port.Close();
  if (drain_error != 0) {
    errno = drain_error;
    FailUsing("cannot send the rest of the data to serial port", device_);
  }
  if (close_error != 0) {
    errno = close_error;
    FailUsing("cannot close serial port", device_);
  }
}

void SerialLink::Release() noexcept {
  if (is_open()) {
    ::ioctl(Fd(port_), TIOCNXCL);
    (void)port_.Close();
  }
}

const std::int32_t SerialLink::kNotOpenError = EBADF;
const std::int32_t SerialLink::kUnencodableError = EILSEQ;

}  // namespace qj570
