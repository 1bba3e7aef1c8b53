// Serial ports through termios. The port is a tty device such as
// /dev/ttyS0 or /dev/ttyUSB0; anything that is not a terminal is refused
// before a byte is written to it.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "receipt/serial/lock_file.h"
#include "receipt/serial/port_users.h"
#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"

namespace qj570 {
namespace {

int Fd(const PortHandle& port) { return static_cast<int>(port.get()); }

// A device, whatever name or link reaches it: "c:188:0". Empty for what is
// no device node (identity matters only for ports).
std::string DeviceNumber(const struct stat& st) {
  if (!S_ISCHR(st.st_mode)) {
    return {};
  }
  return "c:" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

// How often the drain looks at the queue: a few bytes' time at 9600 baud.
constexpr std::chrono::milliseconds kDrainPoll{5};
// How long a write waits for room before it looks again. A tty wakes its
// writer only once the queue is nearly empty (256 bytes of a UART's 4 KiB,
// some seconds for a slow printer), and a pty may make room with no wake-up
// at all: the write tries again, and sees the queue shrink, meanwhile.
constexpr std::chrono::milliseconds kWriteWait{100};

// The 8250 driver's ttyS nodes: major 4, minor 64 on.
constexpr unsigned kUartMajor = 4;
constexpr unsigned kFirstUartMinor = 64;

bool IsUartNode(const struct stat& st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == kUartMajor &&
         minor(st.st_rdev) >= kFirstUartMinor;
}

// Without opening it: an open can raise DTR.
bool IsUart(const std::string& device) {
  struct stat st = {};
  return ::stat(device.c_str(), &st) == 0 && IsUartNode(st);
}

// A port on USB or Bluetooth may be unplugged at any time, whatever its
// driver calls it; a UART on the board, or a pty, stays as long as the
// machine. sysfs says which bus it is on; where there is none to ask (a
// container without /sys), any port may vanish.
bool CanVanish(int fd) {
  struct stat st = {};
  if (::fstat(fd, &st) != 0) {
    return true;
  }
  switch (BusOfTty("/", major(st.st_rdev), minor(st.st_rdev))) {
    case PortBus::kUsb:
    case PortBus::kBluetooth:
      return true;
    case PortBus::kBoard:
      return false;
    case PortBus::kUnknown:
      break;
  }
  // sysfs does not come and go while the program runs.
  static const bool no_sysfs = [] {
    struct stat sysfs = {};
    return ::stat("/sys/dev/char", &sysfs) != 0;
  }();
  return no_sysfs;
}

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
termios TermiosFor(termios tio, const PortSettings& settings) {
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
  struct stat st = {};
  serial_struct info{};
  return ::fstat(fd, &st) == 0 && IsUartNode(st) && ::ioctl(fd, TIOCGSERIAL, &info) == 0 &&
         info.type == PORT_UNKNOWN;
}

// tcdrain, on again after a signal.
std::error_code DrainNow(int fd) noexcept {
  while (::tcdrain(fd) < 0) {
    if (errno != EINTR) {
      return {errno, SystemCategory()};
    }
  }
  return {};
}

// DTR and RTS as the settings say. A pty has no modem lines and says so
// with ENOTTY or EINVAL; by now tcgetattr has shown the device is a
// terminal, so that answer is harmless.
bool SetModemLines(int fd, const PortSettings& settings) {
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  const bool ok = ::ioctl(fd, settings.dtr ? TIOCMBIS : TIOCMBIC, &dtr) == 0 &&
                  (settings.flow_control == FlowControl::kRtsCts ||
                   ::ioctl(fd, settings.rts ? TIOCMBIS : TIOCMBIC, &rts) == 0);
  return ok || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

std::optional<std::string> PortFromUserName(std::string_view name) {
  if (name.empty()) {
    return std::nullopt;
  }
  return std::string(name);
}

std::error_code PortHandle::Close() noexcept {
  const int fd = static_cast<int>(std::exchange(native_, kNone));
  if (fd < 0) {
    return {};
  }
  // The exclusive flag belongs to the tty, not to this descriptor: it
  // stays on while anyone else (a printer's pty) still has the tty open.
  if (std::exchange(exclusive_, false)) {
    ::ioctl(fd, TIOCNXCL);
  }
  // Never retried: Linux frees the descriptor even on EINTR.
  const std::error_code closed =
      ::close(fd) == 0 ? std::error_code() : std::error_code(errno, SystemCategory());
  // Only once the port is let go may another program take it.
  PortLockFile::Remove(std::exchange(lock_file_, {}));
  return closed;
}

std::error_code SerialLink::LastError() noexcept { return {errno, SystemCategory()}; }

const std::error_category& SystemCategory() noexcept { return std::system_category(); }

PortTrouble SerialLink::TroubleOf(std::error_code error, const std::string& device) noexcept {
  switch (error.value()) {
    case ENOENT:
      return PortTrouble::kMissing;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPROTO:     // a USB transfer failed: the device is going
    case ETIMEDOUT:  // a USB adapter that does not answer its driver
      // The 8250 driver's placeholders answer so when no UART is behind
      // them; any other device that does has gone away.
      return IsUart(device) ? PortTrouble::kNoHardware : PortTrouble::kGone;
    case EACCES:
    case EPERM:
      return PortTrouble::kPermission;
    case EBUSY:  // another opener took it with TIOCEXCL
    case EWOULDBLOCK:
      return PortTrouble::kBusy;
    case ENOTTY:
      return PortTrouble::kNotSerialPort;
    default:
      return PortTrouble::kOther;
  }
}

bool SerialLink::CanSet(const PortSettings& settings) noexcept {
  return Speed(settings.baud) != B0 && settings.data_bits >= 5 && settings.data_bits <= 8;
}

PortHandle SerialLink::OpenPort() const {
  // Other programs' claims first, before the port is touched: an open can
  // raise DTR, and the bytes would reach a login, a terminal program or
  // the kernel's console as much as the printer. What the port's own
  // locks below cannot stop: programs that take none (cat, minicom, a
  // getty) and the console, which no process holds.
  PortLockFile lock;
  if (struct stat st = {}; ::stat(device_.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
    const PortUsers users = FindPortUsers(device_, system_root_);
    if (users.InUse()) {
      Fail(users.lock_file && users.processes.empty() && users.console.empty() ? LinkStep::kLock
                                                                               : LinkStep::kTake,
           {EBUSY, SystemCategory()});
    }
    std::optional<LockFileOwner> owner;
    lock = PortLockFile::Take(device_, system_root_, owner);
    if (owner) {  // came in since we looked
      Fail(LinkStep::kLock, {EBUSY, SystemCategory()});
    }
  }
  // Non-blocking, so that neither a missing carrier nor a full queue can
  // hang a call: every wait is a poll with a deadline.
  PortHandle port(::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!port.valid()) {
    Fail(LinkStep::kOpen, LastError());
  }
  termios tio{};
  if (::tcgetattr(Fd(port), &tio) < 0) {
    Fail(LinkStep::kCheck, LastError());
  }
  if (NoUartBehind(Fd(port))) {
    Fail(LinkStep::kCheck, {EIO, SystemCategory()});
  }
  // TIOCEXCL stops no process with CAP_SYS_ADMIN, and kiosks run as root:
  // a port another program took for itself is refused here, before any
  // byte or setting, and its flag is left alone. (Kernels before 3.8 have
  // no TIOCGEXCL; there only the lock below and the open itself guard.)
  if (int taken = 0; ::ioctl(Fd(port), TIOCGEXCL, &taken) == 0 && taken != 0) {
    Fail(LinkStep::kTake, {EBUSY, SystemCategory()});
  }
  // A lock that every opener asks for stops root too.
  if (::flock(Fd(port), LOCK_EX | LOCK_NB) < 0) {
    Fail(LinkStep::kLock, LastError());
  }
  const termios want = TermiosFor(tio, settings_);
  termios got{};
  if (::tcsetattr(Fd(port), TCSANOW, &want) < 0 || ::tcgetattr(Fd(port), &got) < 0) {
    Fail(LinkStep::kSetLine, LastError());
  }
  if (!SettingsTook(want, got)) {
    Fail(LinkStep::kSetLine, LinkErrc::kSettingsNotTaken);
  }
  if (!SetModemLines(Fd(port), settings_)) {
    Fail(LinkStep::kSetModemLines, LastError());
  }
  // Last, so that no failure above has to give it back.
  if (::ioctl(Fd(port), TIOCEXCL) < 0) {
    Fail(LinkStep::kTake, LastError());
  }
  port.set_exclusive();
  port.set_lock_file(lock.Release());
  return port;
}

std::size_t SerialLink::Queued(const PortHandle& port) noexcept {
  int queued = 0;
  return ::ioctl(Fd(port), TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued)
                                                                 : 0;
}

std::error_code SerialLink::WriteAll(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(Fd(port_), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      watch_.Wrote();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return LastError();
    }
    // The queue is full: wait for room while the device takes data.
    const Clock::time_point now = Clock::now();
    const Clock::time_point stalls = watch_.Look(now, Queued(port_));
    if (now >= stalls) {
      return LinkErrc::kStalled;
    }
    pollfd room{Fd(port_), POLLOUT, 0};
    if (::poll(&room, 1, MillisecondsUntil(std::min(stalls, now + kWriteWait))) < 0 &&
        errno != EINTR) {
      return LastError();
    }
  }
  return {};
}

void SerialLink::PauseForQueue() noexcept { std::this_thread::sleep_for(kDrainPoll); }

std::error_code SerialLink::DrainRest(const PortHandle& port) noexcept {
  return DrainNow(Fd(port));
}

// A drain on a thread of its own, with its own descriptor: the link's may
// be closed while it still waits. If the deadline passes first, the device
// is held in the record of ports being let go until the drain ends.
std::error_code SerialLink::DrainWithin(Clock::time_point deadline) const noexcept {
  struct Waiting {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int error = 0;
    std::string abandoned;  // the device, once nobody waits any more
  };
  const int fd = ::fcntl(Fd(port_), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    return LastError();
  }
  std::shared_ptr<Waiting> waiting;
  try {
    waiting = std::make_shared<Waiting>();
    std::thread([waiting, fd] {
      const int error = DrainNow(fd).value();
      ::close(fd);
      const std::lock_guard lock(waiting->mutex);
      waiting->done = true;
      waiting->error = error;
      if (!waiting->abandoned.empty()) {
        ReleaseLettingGo(waiting->abandoned);
      }
      waiting->ended.notify_one();
    }).detach();
  } catch (const std::exception&) {  // no thread or no memory to be had
    ::close(fd);
    return {EAGAIN, SystemCategory()};
  }
  std::unique_lock lock(waiting->mutex);
  if (waiting->ended.wait_until(lock, deadline, [&] { return waiting->done; })) {
    return waiting->error == 0 ? std::error_code()
                               : std::error_code(waiting->error, SystemCategory());
  }
  try {
    waiting->abandoned = Identity();
    HoldLettingGo(waiting->abandoned);
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): the record is a courtesy
    waiting->abandoned.clear();
  }
  return LinkErrc::kStalled;
}

std::error_code SerialLink::StillThere(const PortHandle& port) noexcept {
  if (!CanVanish(Fd(port))) {
    return {};
  }
  std::this_thread::sleep_for(kHangupGrace);
  // A tty that was hung up fails every call on its old descriptors.
  termios tio{};
  return ::tcgetattr(Fd(port), &tio) == 0 ? std::error_code() : LastError();
}

std::string SerialLink::IdentityOf(const std::string& device) noexcept {
  struct stat st = {};
  return ::stat(device.c_str(), &st) == 0 ? DeviceNumber(st) : std::string();
}

std::string SerialLink::Identity() const noexcept {
  struct stat st = {};
  return ::fstat(Fd(port_), &st) == 0 ? DeviceNumber(st) : std::string();
}

void SerialLink::DiscardQueued(const PortHandle& port) noexcept {
  ::tcflush(Fd(port), TCOFLUSH);  // cdc_acm cannot, and keeps them
}

void SerialLink::Abandon(PortHandle port, const std::function<void()>& closed) noexcept {
  DiscardQueued(port);
  // The process may end first, with the close still waiting in the kernel.
  PortLockFile::RemoveAtExit(port.lock_file());
  try {
    std::thread([held = std::move(port), closed]() mutable {
      (void)held.Close();
      closed();
    }).detach();
  } catch (const std::exception&) {
    // No thread to be had: the port is let go here, at the cost of the wait.
    (void)port.Close();
    closed();
  }
}

}  // namespace qj570
