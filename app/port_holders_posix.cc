// Who holds a tty, and what took a USB serial adapter, in words: read only
// after a failure. Nothing here throws past its caller.
#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string_view>
#include <system_error>

#include "app/error_report.h"
#include "app/port_holders.h"
#include "app/translation.h"
#include "receipt/serial/port_users.h"

namespace qj570::app {
namespace {

namespace fs = std::filesystem;

bool IsPid(const std::string& name) {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string AnotherProgram() {
  return Tr("Another program is using the port: close that program, then try again.");
}

// The programs that wait for a login on a tty, and the login itself.
bool IsLogin(const std::string& name) {
  constexpr std::array<std::string_view, 5> kLogins = {"agetty", "getty", "mgetty", "mingetty",
                                                       "login"};
  return std::find(kLogins.begin(), kLogins.end(), name) != kLogins.end();
}

// A udev rule that tells ModemManager to leave the port's adapter alone: by
// its USB ids where the finder knows them, else by the tty's name.
std::string ModemManagerRule(const std::string& device, const std::vector<SerialPortInfo>& ports) {
  std::error_code error;
  const std::string real = fs::canonical(device, error).string();
  for (const SerialPortInfo& port : ports) {
    const bool same =
        port.device == device || port.device == real ||
        std::find(port.aliases.begin(), port.aliases.end(), device) != port.aliases.end();
    if (same && port.vendor_id != 0) {
      std::array<char, 96> rule{};
      std::snprintf(rule.data(), rule.size(),
                    "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", ", port.vendor_id,
                    port.product_id);
      return std::string(rule.data()) + "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    }
  }
  const std::string name = fs::path(real.empty() ? device : real).filename().string();
  return "KERNEL==\"" + name + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

// USB serial chips that brltty claims for braille displays (CH340, CP210x,
// FTDI, PL2303), as vendor:product.
constexpr std::array<std::string_view, 6> kClaimedChips = {"1a86:7523", "10c4:ea60", "0403:6001",
                                                           "067b:2303", "1a86:5523", "10c4:ea70"};

// A USB device of such a chip with no tty below any of its interfaces.
std::string AdapterWithoutTty(const fs::path& usb_devices) {
  std::error_code error;
  for (fs::directory_iterator device(usb_devices, error), end; !error && device != end;
       device.increment(error)) {
    const std::string ids =
        FirstLine(device->path() / "idVendor") + ":" + FirstLine(device->path() / "idProduct");
    if (std::find(kClaimedChips.begin(), kClaimedChips.end(), ids) == kClaimedChips.end()) {
      continue;
    }
    bool has_tty = false;
    std::error_code listing;
    for (fs::directory_iterator child(device->path(), listing), children_end;
         !listing && child != children_end && !has_tty; child.increment(listing)) {
      std::error_code inner_error;
      if (child->is_symlink(inner_error)) {  // driver, subsystem, port: elsewhere in sysfs
        continue;
      }
      for (fs::directory_iterator inner(child->path(), inner_error), inner_end;
           !inner_error && inner != inner_end && !has_tty; inner.increment(inner_error)) {
        has_tty = inner->path().filename().string().starts_with("tty");
      }
    }
    if (!has_tty) {
      const std::string name = FirstLine(device->path() / "product");
      return name.empty() ? ids : Format(Tr("{0} ({1})"), {name, ids});
    }
  }
  return "";
}

bool Runs(const fs::path& proc, const std::string& program) {
  std::error_code error;
  for (fs::directory_iterator process(proc, error), end; !error && process != end;
       process.increment(error)) {
    if (IsPid(process->path().filename().string()) &&
        FirstLine(process->path() / "comm") == program) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string BusyAdviceUnder(const fs::path& root, const std::string& device,
                            const std::vector<SerialPortInfo>& ports) {
  try {
    const std::string another = AnotherProgram();
    const PortUsers users = FindPortUsers(device, root);
    std::error_code error;
    const std::string tty = fs::canonical(device, error).filename().string();
    std::vector<std::string> names;
    bool modem_manager = false;
    std::string login;
    for (const PortUser& user : users.processes) {
      names.push_back(ProcessName(user.name, user.pid));
      modem_manager = modem_manager || user.name == "ModemManager";
      login = login.empty() && IsLogin(user.name) ? names.back() : login;
    }
    std::string advice;
    if (!names.empty() || users.lock_file || users.console.empty()) {
      advice = another;
    }
    if (!names.empty()) {
      advice = JoinSentences(advice, Format(Tr("It is held by {0}."), {ListOf(names)}));
    }
    if (users.lock_file) {
      advice = JoinSentences(advice,
                             Format(Tr("Its lock file {0} says that {1} uses it."),
                                    {users.lock_file->file,
                                     ProcessName(users.lock_file_process, users.lock_file->pid)}));
    }
    if (!users.console.empty()) {
      advice = JoinSentences(
          advice,
          Format(Tr("It is the system console: the kernel writes its messages there, and a "
                    "login may wait on it. To free it for the printer, stop the login:\n"
                    "sudo systemctl disable --now serial-getty@{0}.service\n"
                    "then take console={0} off the kernel's command line (GRUB_CMDLINE_LINUX in "
                    "/etc/default/grub, then sudo update-grub) and restart the computer. On a "
                    "Raspberry Pi, turn the login shell over serial off in sudo raspi-config, "
                    "under Interface Options, Serial Port."),
                 {users.console}));
    } else if (!login.empty()) {
      advice = JoinSentences(
          advice, Format(Tr("{0} waits for a login on this port. To stop it, and keep it from "
                            "starting again:\nsudo systemctl disable --now "
                            "serial-getty@{1}.service"),
                         {login, tty}));
    }
    if (users.hidden && users.console.empty()) {
      advice = JoinSentences(
          advice, names.empty() ? Tr("No process this user may look into holds it: another "
                                     "user's may, which only root can see.")
                                : Tr("Other users' processes, which only root can see, may "
                                     "hold it too."));
    }
    if (users.unfinished) {
      advice = JoinSentences(
          advice, Format(Tr("Some processes could not be searched within {0} s: one of them may "
                            "hold it."),
                         {std::to_string(kSearchBound.count())}));
    }
    if (modem_manager) {
      advice = JoinSentences(
          advice,
          Format(Tr("ModemManager tries every serial port for about half a minute after it "
                    "appears: wait that long, then print again. To make it leave this adapter "
                    "alone, put this line in /etc/udev/rules.d/99-qj570-rs232.rules and plug the "
                    "adapter in again:\n{0}"),
                 {ModemManagerRule(device, ports)}));
    }
    return advice;
  } catch (const std::exception&) {
    return AnotherProgram();  // the advice without names is still right
  }
}

std::string BusyAdvice(const std::string& device, const std::vector<SerialPortInfo>& ports) {
  return BusyAdviceUnder("/", device, ports);
}

std::string TakenAdapterAdviceUnder(const fs::path& root) {
  try {
    const std::string adapter = AdapterWithoutTty(root / "sys/bus/usb/devices");
    if (adapter.empty() || !Runs(root / "proc", "brltty")) {
      return "";
    }
    return Format(Tr("The USB serial adapter {0} is plugged in but has no serial port, and "
                     "brltty, the braille display service, runs: it takes such adapters for "
                     "braille displays. If no braille display is used here, stop brltty with "
                     "this command, then plug the adapter in again:\n"
                     "sudo systemctl mask --now brltty-udev.service brltty.service\n"
                     "On Debian and Ubuntu, removing brltty does as well:\n"
                     "sudo apt remove brltty"),
                  {adapter});
  } catch (const std::exception&) {
    return "";
  }
}

std::string TakenAdapterAdvice() { return TakenAdapterAdviceUnder("/"); }

}  // namespace qj570::app
