#include "receipt/serial/serial_ports.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iomanip>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/error_report.h"
#include "app/port_holders.h"
#include "receipt/serial/port_users.h"
#include "tests/test_support.h"

namespace qj570 {
namespace {

namespace fs = std::filesystem;
using app::BusyAdviceUnder;
using app::DescribeSerialPorts;
using app::TakenAdapterAdviceUnder;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A tree shaped like / with what the finder reads: sysfs tty entries, the
// devices behind them and /dev nodes (plain files here: nothing is ever
// opened).
class FakeSystem {
 public:
  FakeSystem() : root_(fs::temp_directory_path() / ("qj570-ports-" + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "sys/dev/char");
    fs::create_directories(root_ / "dev/serial/by-id");
  }
  ~FakeSystem() { fs::remove_all(root_); }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;
  FakeSystem(FakeSystem&&) = delete;
  FakeSystem& operator=(FakeSystem&&) = delete;

  // A device under sys/devices, on `subsystem`, bound to `driver`, with
  // attributes given as name=value.
  void Device(const std::string& path, const std::string& subsystem, const std::string& driver,
              std::initializer_list<std::pair<const char*, const char*>> attributes = {}) {
    const fs::path dir = root_ / "sys/devices" / path;
    fs::create_directories(dir);
    fs::create_symlink("/sys/bus/" + subsystem, dir / "subsystem");
    if (!driver.empty()) {
      fs::create_symlink("/sys/bus/" + subsystem + "/drivers/" + driver, dir / "driver");
    }
    for (const auto& [name, value] : attributes) {
      std::ofstream(dir / name) << value << "\n";
    }
  }
  // A tty as sysfs shows it, numbered major:minor; `device` is its device's
  // path under sys/devices ("" for none), `uart_type` the serial core's type
  // attribute ("" where the driver has none), and with `node` /dev has it.
  void Tty(const std::string& name, const std::string& number, const std::string& device,
           const std::string& uart_type = "", bool node = true) {
    const fs::path dir = root_ / "sys/class/tty" / name;
    fs::create_directories(dir);
    fs::create_symlink("../../class/tty/" + name, root_ / "sys/dev/char" / number);
    if (!device.empty()) {
      fs::create_symlink("../../../devices/" + device, dir / "device");
    }
    if (!uart_type.empty()) {
      std::ofstream(dir / "type") << uart_type << "\n";
    }
    if (node) {
      std::ofstream(root_ / "dev" / name).put('\0');
    }
  }
  void Attribute(const std::string& tty, const std::string& name, const std::string& value) {
    std::ofstream(root_ / "sys/class/tty" / tty / name) << value << "\n";
  }
  // A process under proc/ with its name and descriptors (links to what
  // they have open); with `hidden`, its descriptors cannot be listed.
  void Process(const std::string& pid, const std::string& name,
               std::initializer_list<const char*> open, bool hidden = false) {
    const fs::path dir = root_ / "proc" / pid;
    fs::create_directories(dir);
    std::ofstream(dir / "comm") << name << "\n";
    if (hidden) {
      std::ofstream(dir / "fd") << "";
      return;
    }
    fs::create_directories(dir / "fd");
    int fd = 0;
    for (const char* target : open) {
      fs::create_symlink(target, dir / "fd" / std::to_string(fd++));
    }
  }
  // A USB device under sys/bus/usb/devices, with the ttys of its interface.
  void UsbDevice(const std::string& name, const std::string& vendor, const std::string& product,
                 const std::string& tty) {
    const fs::path dir = root_ / "sys/bus/usb/devices" / name;
    fs::create_directories(dir / (name + ":1.0") / tty);
    std::ofstream(dir / "idVendor") << vendor << "\n";
    std::ofstream(dir / "idProduct") << product << "\n";
    std::ofstream(dir / "product") << "USB Serial\n";
  }
  void ById(const std::string& link, const std::string& target) {
    fs::create_symlink(target, root_ / "dev/serial/by-id" / link);
  }
  [[nodiscard]] const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

// A PC with a COM port and three placeholders, a board's UART, a USB
// adapter, a CDC-ACM printer and a Bluetooth link, besides the virtual
// ttys every machine has.
void Populate(FakeSystem& system) {
  system.Device("pnp0/00:04", "pnp", "serial");
  system.Device("platform/serial8250", "platform", "serial8250");
  system.Tty("ttyS0", "4:64", "pnp0/00:04", "4");         // a 16550A
  for (const char* name : {"ttyS1", "ttyS2", "ttyS3"}) {  // no UART answered
    system.Tty(name, "4:" + std::to_string(64 + name[4] - '0'), "platform/serial8250", "0");
  }
  system.Tty("ttyS10", "4:74", "pnp0/00:04", "4");
  system.Device("platform/3f201000.serial", "amba", "uart-pl011");
  system.Tty("ttyAMA0", "204:64", "platform/3f201000.serial", "91");
  const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-1";
  system.Device(usb, "usb", "usb",
                {{"idVendor", "0403"},
                 {"idProduct", "6001"},
                 {"manufacturer", "FTDI"},
                 {"product", "FT232R USB UART"},
                 {"serial", "A10K1X2B"}});
  system.Device(usb + "/1-1:1.0", "usb", "ftdi_sio");
  system.Device(usb + "/1-1:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
  system.Tty("ttyUSB0", "188:0", usb + "/1-1:1.0/ttyUSB0");
  system.Device("pci0000:00/0000:00:14.0/usb1/1-2", "usb", "usb",
                {{"idVendor", "0fe6"}, {"idProduct", "811e"}});
  system.Device("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb", "cdc_acm");
  system.Tty("ttyACM0", "166:0", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0");
  system.Tty("ttyACM1", "166:1", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "", false);
  system.Tty("rfcomm0", "216:0", "");  // not connected yet: no device
  system.Attribute("rfcomm0", "address", "00:11:22:33:44:55");
  system.Attribute("rfcomm0", "channel", "1");
  for (const char* name : {"tty0", "console", "ptmx", "ttyprintk", "ttyGS0"}) {
    system.Tty(name, std::string("5:") + name, "");
  }
  system.ById("usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0", "../../ttyUSB0");
  system.ById("usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0", "../../ttyUSB0");
  system.ById("usb-dangling", "../../ttyUSB7");
}

TEST(SerialPorts, ListsEveryPortWithHardwareBehindItByName) {
  FakeSystem system;
  Populate(system);
  const auto ports = FindSerialPortsUnder(system.root());
  std::string listed;
  for (const SerialPortInfo& port : ports) {
    listed += port.device + " ";
  }
  EXPECT_EQ(listed, "/dev/rfcomm0 /dev/ttyACM0 /dev/ttyAMA0 /dev/ttyS0 /dev/ttyS10 /dev/ttyUSB0 ");
  ASSERT_EQ(ports.size(), 6U);
  const SerialPortInfo& usb = ports[5];
  EXPECT_EQ(std::tie(usb.bus, usb.driver, usb.description, usb.manufacturer, usb.serial_number,
                     usb.vendor_id, usb.product_id),
            std::make_tuple(PortBus::kUsb, "ftdi_sio", "FT232R USB UART", "FTDI", "A10K1X2B",
                            0x0403, 0x6001));
  EXPECT_EQ(
      usb.aliases,
      (std::vector<std::string>{
          "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0",
          "/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"}));
  EXPECT_EQ(std::tie(ports[1].bus, ports[1].driver, ports[1].vendor_id),
            std::make_tuple(PortBus::kUsb, "cdc_acm", 0x0fe6));
  EXPECT_EQ(std::tie(ports[2].bus, ports[2].driver, ports[2].description),
            std::make_tuple(PortBus::kBoard, "uart-pl011", ""));
  EXPECT_EQ(ports[0].bus, PortBus::kBluetooth);
  EXPECT_TRUE(ports[2].aliases.empty());
  EXPECT_EQ(DescribeSerialPorts({ports[2], usb}),
            "Serial ports on this computer:\n  /dev/ttyAMA0\n"
            "  /dev/ttyUSB0  FT232R USB UART (0403:6001, FTDI, serial A10K1X2B)\n"
            "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0\n"
            "    /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0");

  // What a device says of itself is shown, never acted on: an escape
  // sequence (OSC 52 writes the clipboard), a C1 control, a direction
  // override, a byte that is no UTF-8. Chinese stays as it is.
  const fs::path adapter = system.root() / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  std::ofstream(adapter / "product") << "\x1b]52;c;cm0gLXJmIH4=\x07印表機\xc2\x9b"
                                        "2J\n";
  std::ofstream(adapter / "manufacturer") << "\xe2\x80\xae"
                                             "FTDI\xff\n";
  EXPECT_EQ(DescribeSerialPorts({FindSerialPortsUnder(system.root()).back()}),
            "Serial ports on this computer:\n"
            "  /dev/ttyUSB0  \\x1b]52;c;cm0gLXJmIH4=\\x07印表機\\u009b2J "
            "(0403:6001, \\u202eFTDI\\xff, serial A10K1X2B)\n"
            "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0\n"
            "    /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0");
}

// Which ports can vanish during a job is decided by this, on every job.
TEST(SerialPorts, TheBusOfATtyByItsNumber) {
  FakeSystem system;
  Populate(system);
  const fs::path& root = system.root();
  EXPECT_EQ(BusOfTty(root, 188, 0), PortBus::kUsb);
  EXPECT_EQ(BusOfTty(root, 166, 0), PortBus::kUsb);
  EXPECT_EQ(BusOfTty(root, 216, 0), PortBus::kBluetooth);
  EXPECT_EQ(BusOfTty(root, 204, 64), PortBus::kBoard);
  EXPECT_EQ(BusOfTty(root, 4, 64), PortBus::kBoard);
  EXPECT_EQ(BusOfTty(root, 136, 3), PortBus::kUnknown);  // a pty
}

// After a failure: who uses a busy port (ptys stand in for ports), and an
// adapter that brltty took.
TEST(SerialPorts, WhoUsesABusyPortAndAnAdapterBrlttyTook) {
  FakeSystem system;
  const testing::PtyPeer held;
  const testing::PtyPeer modem;
  const testing::PtyPeer nobody;
  const testing::PtyPeer login;
  const testing::PtyPeer console;
  // minicom runs under another root (a chroot, a container): its link names
  // the device from the root that its mount namespace has.
  const std::string chrooted = "/proc/self/root" + held.slave_path();
  system.Process("900", "minicom", {"/dev/zero", chrooted.c_str()});
  system.Process("812", "ModemManager", {modem.slave_path().c_str(), held.slave_path().c_str()});
  system.Process("77", "agetty", {}, /*hidden=*/true);
  system.Process("1", "init", {"/dev/null", modem.slave_path().c_str()});
  system.Process("78", "agetty", {login.slave_path().c_str()});
  SerialPortInfo adapter(held.slave_path());
  adapter.vendor_id = 0x0403;
  adapter.product_id = 0x6001;
  const std::string another =
      "Another program is using the port: close that program, then try again. ";
  const std::string advice = BusyAdviceUnder(system.root(), held.slave_path(), {adapter});
  EXPECT_THAT(advice, StartsWith(another + "It is held by ModemManager (pid 812), minicom (pid "
                                           "900). Other users' processes, which only root can "
                                           "see, may hold it too. ModemManager tries every "
                                           "serial port"));
  EXPECT_THAT(advice, EndsWith(":\nATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                               "ENV{ID_MM_DEVICE_IGNORE}=\"1\""));
  {
    const testing::InChinese chinese;
    EXPECT_THAT(BusyAdviceUnder(system.root(), held.slave_path(), {adapter}),
                HasSubstr("占用它的是 ModemManager（PID 812）、minicom（PID 900）。"));
  }
  EXPECT_EQ(BusyAdviceUnder(system.root(), nobody.slave_path(), {}),
            another +
                "No process this user may look into holds it: another user's may, which only "
                "root can see.");
  const std::string modem_tty = fs::path(modem.slave_path()).filename().string();
  EXPECT_THAT(BusyAdviceUnder(system.root(), modem.slave_path(), {}),
              EndsWith(":\nKERNEL==\"" + modem_tty + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\""));
  // A login waits there: how to stop it for good.
  EXPECT_THAT(BusyAdviceUnder(system.root(), login.slave_path(), {}),
              HasSubstr("It is held by agetty (pid 78). agetty (pid 78) waits for a login on "
                        "this port. To stop it, and keep it from starting again:\nsudo systemctl "
                        "disable --now serial-getty@" +
                        fs::path(login.slave_path()).filename().string() + ".service"));
  // The kernel's console, by its /dev name or by sysfs's device number:
  // no program to close, but a login to stop and a command line to mend.
  fs::create_directories(system.root() / "sys/class/tty/console");
  std::ofstream(system.root() / "sys/class/tty/console/active") << "tty0 ttyQJ0 ttyQJ1\n";
  fs::create_symlink(console.slave_path(), system.root() / "dev/ttyQJ0");
  struct stat st = {};
  ASSERT_EQ(::stat(nobody.slave_path().c_str(), &st), 0);
  const std::string number =
      std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  system.Tty("ttyQJ1", number, "", "", /*node=*/false);
  system.Attribute("ttyQJ1", "dev", number);
  EXPECT_THAT(BusyAdviceUnder(system.root(), console.slave_path(), {}),
              StartsWith("It is the system console: the kernel writes its messages there, and a "
                         "login may wait on it. To free it for the printer, stop the login:\n"
                         "sudo systemctl disable --now serial-getty@ttyQJ0.service\nthen take "
                         "console=ttyQJ0 off the kernel's command line"));
  EXPECT_THAT(BusyAdviceUnder(system.root(), nobody.slave_path(), {}),
              StartsWith("It is the system console"));
  // A lock file of a process that runs; a stale one says nothing.
  fs::create_directories(system.root() / "run/lock");
  std::string lock_name = login.slave_path().substr(5);
  std::replace(lock_name.begin(), lock_name.end(), '/', '_');
  std::ofstream(system.root() / "run/lock" / ("LCK.." + lock_name))
      << std::setw(10) << ::getppid() << "\n";
  system.Process(std::to_string(::getppid()), "cu", {});
  EXPECT_THAT(BusyAdviceUnder(system.root(), login.slave_path(), {}),
              HasSubstr("It is held by agetty (pid 78). Its lock file " +
                        (system.root() / "run/lock" / ("LCK.." + lock_name)).string() +
                        " says that cu (pid " + std::to_string(::getppid()) + ") uses it."));
  std::ofstream(system.root() / "run/lock" / ("LCK.." + lock_name)) << "  99999999\n";
  EXPECT_FALSE(FindPortUsers(login.slave_path(), system.root()).lock_file.has_value());

  system.UsbDevice("1-1", "0403", "6001", "ttyUSB0");
  system.UsbDevice("1-2", "1a86", "7523", "");            // no tty bound to it
  EXPECT_EQ(TakenAdapterAdviceUnder(system.root()), "");  // brltty does not run
  system.Process("600", "brltty", {});
  EXPECT_THAT(TakenAdapterAdviceUnder(system.root()),
              StartsWith("The USB serial adapter USB Serial (1a86:7523) is plugged in but has no "
                         "serial port, and brltty"));
}

// stat() on a file of a dead NFS server or a stuck FUSE mount never
// returns: the search looks only at descriptors on devices, passes over
// this program by its pid, and gives up after 2 s.
TEST(SerialPorts, TheSearchForHoldersNeverHangs) {
  FakeSystem system;
  const testing::PtyPeer port;
  const testing::PtyPeer other;
  system.Process("900", "minicom", {"/mnt/nfs/notes.txt", port.slave_path().c_str()});
  system.Process(std::to_string(::getpid()), "qj570-rs232", {port.slave_path().c_str()});
  system.Process("901", "fuse", {"/dev/fuse-stuck"});
  const testing::HeldStats held_nfs("/mnt/");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FindPortUsers(port.slave_path(), system.root()).processes.size(), 1U);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  const testing::HeldStats held_device("/dev/fuse-stuck");
  start = std::chrono::steady_clock::now();
  EXPECT_THAT(BusyAdviceUnder(system.root(), other.slave_path(), {}),
              EndsWith("Some processes could not be searched within 2 s: one of them may hold "
                       "it."));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(SerialPorts, APcWithoutAComPortHasNone) {
  FakeSystem system;
  system.Device("platform/serial8250", "platform", "serial8250");
  for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS3"}) {
    system.Tty(name, "4:" + std::to_string(64 + name[4] - '0'), "platform/serial8250", "0");
  }
  EXPECT_TRUE(FindSerialPortsUnder(system.root()).empty());
  EXPECT_TRUE(FindSerialPortsUnder(system.root() / "nowhere").empty());
  EXPECT_EQ(DescribeSerialPorts({}),
            "No serial port with hardware behind it was found on this computer.");
}

}  // namespace
}  // namespace qj570
