// What the serial link does the same on every platform: the order of the
// steps, what a failure means, and letting the port go.
#include "receipt/serial/serial_link.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <utility>

namespace qj570 {
namespace {

// Guards a few instructions. The 32-bit Windows toolchain's thread model
// has no std::mutex.
class SpinLock {
 public:
  void lock() noexcept {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() noexcept { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_;
};

// The devices whose stalled ports are still being let go, process-wide,
// each counted once for every part of the port still held (its close, a
// drain that still waits). It lives until the process ends: a close thread
// may still use it while static objects are destroyed at exit.
class DevicesLettingGo {
 public:
  static DevicesLettingGo& Get() {
    static auto* const devices = new DevicesLettingGo;  // never destroyed, on purpose
    return *devices;
  }
  void Add(const std::string& device) {
    const std::lock_guard lock(mutex_);
    devices_.insert(device);
  }
  void Remove(const std::string& device) noexcept {
    const std::lock_guard lock(mutex_);
    if (const auto found = devices_.find(device); found != devices_.end()) {
      devices_.erase(found);
    }
  }
  bool Empty() {
    const std::lock_guard lock(mutex_);
    return devices_.empty();
  }
  bool Has(const std::string& identity) {
    const std::lock_guard lock(mutex_);
    return !identity.empty() && devices_.contains(identity);
  }

 private:
  SpinLock mutex_;
  std::multiset<std::string> devices_;
};

}  // namespace

StallWatch::Clock::time_point StallWatch::Look(Clock::time_point now,
                                               std::optional<std::size_t> queued) noexcept {
  if (moved_ || (queued && queued_ && *queued < *queued_)) {
    last_progress_ = now;
  }
  if (moved_ || queued) {
    queued_ = queued;
  }
  moved_ = false;
  return last_progress_ + kMargin;
}

// The build sets QJ570_PORT_DEVICE (CMake's cache variable of that name).
const char* DefaultPort() noexcept { return QJ570_PORT_DEVICE; }

SerialLink::SerialLink(std::string device, PortSettings settings)
    : device_(std::move(device)), settings_(settings) {}

SerialLink::~SerialLink() {
  if (is_open()) {
    DiscardQueued(port_);
  }
}

void SerialLink::HoldLettingGo(const std::string& identity) {
  DevicesLettingGo::Get().Add(identity);
}

void SerialLink::ReleaseLettingGo(const std::string& identity) noexcept {
  DevicesLettingGo::Get().Remove(identity);
}

void SerialLink::open() {
  if (is_open()) {
    Fail(LinkStep::kOpen, LinkErrc::kAlreadyOpen);
  }
  // Under any of its names. An empty record, as on every healthy run, costs
  // no look-up of the device.
  DevicesLettingGo& letting_go = DevicesLettingGo::Get();
  if (!letting_go.Empty() && letting_go.Has(IdentityOf(device_))) {
    Fail(LinkStep::kOpen, LinkErrc::kStillLettingGo);
  }
  if (!CanSet(settings_)) {
    Fail(LinkStep::kSetLine, LinkErrc::kUnsupportedSettings);
  }
  port_ = OpenPort();
  watch_ = StallWatch();
  opened_before_ = true;
}

void SerialLink::set_device(std::string device) {
  if (is_open()) {
    Fail(LinkStep::kOpen, LinkErrc::kAlreadyOpen);
  }
  device_ = std::move(device);
  opened_before_ = false;
}

void SerialLink::write(std::string_view bytes) {
  if (!is_open()) {
    Fail(LinkStep::kWrite, LinkErrc::kNotOpen);
  }
  if (const std::error_code error = WriteAll(bytes)) {
    if (error == LinkErrc::kStalled) {
      FailStalled(LinkStep::kWrite);
    }
    Fail(LinkStep::kWrite, error);
  }
}

void SerialLink::close() {
  if (!is_open()) {
    Fail(LinkStep::kClose, LinkErrc::kNotOpen);
  }
  std::error_code drained = Drain();
  if (drained == LinkErrc::kStalled) {
    FailStalled(LinkStep::kDrain);
  }
  if (!drained) {
    drained = StillThere(port_);
  }
  PortHandle port = std::move(port_);
  const std::error_code closed = port.Close();
  if (drained) {
    Fail(LinkStep::kDrain, drained);
  }
  if (closed) {
    Fail(LinkStep::kClose, closed);
  }
}

// The system's drain (tcdrain, FlushFileBuffers) cannot be given a
// deadline and hangs on a device that takes nothing: wait for the queue to
// empty first, for as long as it keeps shrinking, then let the system wait
// for the little that is left.
std::error_code SerialLink::Drain() noexcept {
  Clock::time_point stalls;
  for (;;) {
    const std::size_t queued = Queued(port_);
    const Clock::time_point now = Clock::now();
    stalls = watch_.Look(now, queued);
    if (queued == 0) {
      break;
    }
    if (now >= stalls) {
      return LinkErrc::kStalled;
    }
    PauseForQueue();
  }
  if (settings_.flow_control == FlowControl::kNone) {
    // Nothing holds the line back: the FIFO empties in a few bytes' time.
    return DrainRest(port_);
  }
  // With flow control a USB adapter keeps bytes in its own buffer while the
  // printer holds CTS low or has sent XOFF, and the system's drain then
  // waits for them with no end (ftdi_sio's and cp210x's tcdrain, Windows'
  // FlushFileBuffers). No driver counts those bytes, so the queue's
  // emptying is the last progress to be seen: the drain has kStallMargin
  // from it, on a thread of its own. That is ample for what the chip holds
  // (256 bytes on an FT232R or a PL2303, 640 on a CP2102: under a second at
  // a slow printer's 700 bytes a second), while a UART's 4 KiB queue, slow
  // to empty, shows its progress above.
  return DrainWithin(stalls);
}

int SerialLink::MillisecondsUntil(Clock::time_point deadline) noexcept {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void SerialLink::FailStalled(LinkStep step) {
  const std::string identity = Identity();
  HoldLettingGo(identity);
  Abandon(std::move(port_), [identity] { ReleaseLettingGo(identity); });
  throw LinkError(LinkErrc::kStalled, step, device_, PortTrouble::kStalled, settings_,
                  std::chrono::round<std::chrono::seconds>(kStallMargin));
}

void SerialLink::Fail(LinkStep step, std::error_code error) const {
  if (error.category() == LinkCategory()) {
    throw LinkError(
        error, step, device_,
        error == LinkErrc::kStillLettingGo ? PortTrouble::kStalled : PortTrouble::kOther,
        settings_);
  }
  PortTrouble trouble = TroubleOf(error, device_);
  if (IsOpeningStep(step)) {
    // A device that was there earlier in this run has been unplugged.
    if (trouble == PortTrouble::kMissing && opened_before_) {
      trouble = PortTrouble::kGone;
    }
  } else {
    // Once the port was open, a device that does not answer has gone away.
    const bool gone = trouble == PortTrouble::kNoHardware || trouble == PortTrouble::kGone;
    trouble = gone ? PortTrouble::kGone : PortTrouble::kOther;
  }
  throw LinkError(error, step, device_, trouble, settings_);
}

std::string DescribeSerialSettings(const PortSettings& settings) {
  static constexpr const char* kParity[] = {"no parity", "odd parity", "even parity"};
  static constexpr const char* kFlow[] = {"no flow control", "RTS/CTS flow control",
                                          "XON/XOFF flow control"};
  return std::to_string(settings.baud) + " baud, " + std::to_string(settings.data_bits) +
         " data bits, " + kParity[static_cast<int>(settings.parity)] + ", " +
         (settings.stop_bits == StopBits::kTwo ? "2 stop bits, " : "1 stop bit, ") +
         kFlow[static_cast<int>(settings.flow_control)];
}

}  // namespace qj570
