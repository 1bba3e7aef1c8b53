#include "receipt/serial/serial_ports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/error_report.h"

namespace qj570 {
namespace {

namespace fs = std::filesystem;
using app::DescribeSerialPorts;

// A tree shaped like / with what the finder reads: sysfs tty entries and
// /dev nodes (plain files here: nothing is ever opened).
class FakeSystem {
 public:
  FakeSystem() : root_(fs::temp_directory_path() / ("qj570-ports-" + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "dev/serial/by-id");
  }
  ~FakeSystem() { fs::remove_all(root_); }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;
  FakeSystem(FakeSystem&&) = delete;
  FakeSystem& operator=(FakeSystem&&) = delete;

  // A tty as sysfs shows it; `uart_type` is the serial core's type
  // attribute ("" where the driver has none), and with `node` /dev has it.
  void Tty(const std::string& name, const std::string& uart_type, bool node = true) {
    fs::create_directories(root_ / "sys/class/tty" / name);
    if (!uart_type.empty()) {
      std::ofstream(root_ / "sys/class/tty" / name / "type") << uart_type << "\n";
    }
    if (node) {
      std::ofstream(root_ / "dev" / name).put('\0');
    }
  }
  void ById(const std::string& link, const std::string& target) {
    fs::create_symlink(target, root_ / "dev/serial/by-id" / link);
  }
  [[nodiscard]] const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

TEST(SerialPorts, ListsPortsWithHardwareBehindThemInNumberOrder) {
  FakeSystem system;
  system.Tty("ttyS0", "4");  // a 16550A
  system.Tty("ttyS1", "0");  // an 8250 placeholder: no UART answered
  system.Tty("ttyS10", "4");
  system.Tty("ttyS2", "4");
  system.Tty("ttyUSB0", "");  // usb-serial has no type attribute
  system.Tty("ttyACM0", "");
  system.Tty("ttyACM1", "", /*node=*/false);  // gone from /dev
  system.Tty("tty0", "");
  system.Tty("console", "");
  system.ById("usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0", "../../ttyUSB0");
  system.ById("usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0", "../../ttyUSB0");
  system.ById("usb-dangling", "../../ttyUSB7");

  const auto ports = FindSerialPortsUnder(system.root());
  std::string listed;
  for (const SerialPortInfo& port : ports) {
    listed += port.device + " ";
  }
  EXPECT_EQ(listed, "/dev/ttyACM0 /dev/ttyS0 /dev/ttyS2 /dev/ttyS10 /dev/ttyUSB0 ");
  ASSERT_EQ(ports.size(), 5U);
  EXPECT_EQ(
      ports[4].aliases,
      (std::vector<std::string>{
          "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0",
          "/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"}));
  EXPECT_TRUE(ports[0].aliases.empty());
  EXPECT_EQ(DescribeSerialPorts({ports[4]}),
            "Serial ports on this computer:\n  /dev/ttyUSB0\n"
            "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-port0\n"
            "    /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0");
}

TEST(SerialPorts, APcWithoutAComPortHasNone) {
  FakeSystem system;
  for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS3"}) {
    system.Tty(name, "0");
  }
  EXPECT_TRUE(FindSerialPortsUnder(system.root()).empty());
  EXPECT_TRUE(FindSerialPortsUnder(system.root() / "nowhere").empty());
  EXPECT_EQ(DescribeSerialPorts({}),
            "No serial port with hardware behind it was found on this computer.");
}

}  // namespace
}  // namespace qj570
