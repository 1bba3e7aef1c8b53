#include "app/error_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "app/command_line.h"
#include "app/line_settings.h"
#include "app/translation.h"
#include "tests/test_support.h"

namespace qj570::app {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

LinkError Failure(int number, LinkStep step, PortTrouble trouble,
                  const std::string& device = "/dev/ttyS0") {
  return {{number, std::system_category()}, step, device, trouble};
}

// Each kind of trouble as the user reads it: what failed, what it means,
// what to do next.
TEST(RunTimeErrorReport, SaysWhatFailedWhatItMeansAndWhatToDo) {
  EXPECT_EQ(DescribeFailure(Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing)),
            "cannot open serial port /dev/ttyS0: No such file or directory. There is no device "
            "of that name. If the printer is on a USB serial adapter, check that it is plugged "
            "in. Choose the printer's port with --port:\nqj570-rs232 --port /dev/ttyUSB0");
  // Someone who started it from the menu gets the exact command for a port
  // that is there, never for the one that failed.
  EXPECT_THAT(DescribeFailure(Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing),
                              {{"/dev/ttyS0", {}}, {"/dev/ttyUSB0", {}}}),
              EndsWith("To print on /dev/ttyUSB0, start the program as:\nqj570-rs232 --port "
                       "/dev/ttyUSB0"));
  EXPECT_EQ(DescribeFailure(Failure(EIO, LinkStep::kCheck, PortTrouble::kNoHardware)),
            "cannot use serial port /dev/ttyS0: Input/output error. No serial port hardware "
            "answers at /dev/ttyS0: the name exists on most computers, with or without a COM "
            "port. Connect the printer to a port that has one. Choose the printer's port with "
            "--port:\nqj570-rs232 --port /dev/ttyUSB0");
  EXPECT_THAT(DescribeFailure(Failure(EACCES, LinkStep::kOpen, PortTrouble::kPermission)),
              EndsWith("Permission denied. You may not use this port: add your user to the "
                       "'dialout' group (sudo adduser $USER dialout) and log in again."));
  // (This machine's own ttyS0 may be its console: a name that is nobody's.)
  EXPECT_EQ(DescribeFailure(
                Failure(EWOULDBLOCK, LinkStep::kLock, PortTrouble::kBusy, "/nonexistent/ttyS9")),
            "cannot lock serial port /nonexistent/ttyS9: Resource temporarily unavailable. "
            "Another program is using the port: close that program, then try again.");
  EXPECT_THAT(DescribeFailure(Failure(ENOTTY, LinkStep::kCheck, PortTrouble::kNotSerialPort)),
              HasSubstr("It is no serial port, so no printer can be behind it. Choose"));
  EXPECT_EQ(DescribeFailure(Failure(EIO, LinkStep::kWrite, PortTrouble::kGone, "/dev/ttyUSB0")),
            "cannot write to serial port /dev/ttyUSB0: Input/output error. The port stopped "
            "answering during the receipt, which may be cut short: check that the printer's "
            "cable or USB adapter is still plugged in, then print again.");
  // A USB device that has just gone, found so by the next open.
  EXPECT_EQ(DescribeFailure(Failure(ENODEV, LinkStep::kOpen, PortTrouble::kGone, "/dev/ttyACM0")),
            "cannot open serial port /dev/ttyACM0: No such device. The device is not answering: "
            "it may just have been unplugged. Plug the printer or its USB adapter in again, then "
            "print again.");
  EXPECT_EQ(
      DescribeFailure(LinkError(LinkErrc::kStalled, LinkStep::kDrain, "/dev/ttyACM0",
                                PortTrouble::kStalled, kPortSettings, std::chrono::seconds(5))),
      "cannot send the rest of the data to serial port /dev/ttyACM0: the device has taken no "
      "data for 5 s. Is the printer switched on, loaded with paper and "
      "online? The receipt may be cut short: print it again once the printer is ready.");
  EXPECT_EQ(DescribeFailure(Failure(EINVAL, LinkStep::kSetLine, PortTrouble::kOther)),
            "cannot set the line of serial port /dev/ttyS0: Invalid argument.");
}

// The link's own errors: numbers that no system uses for its own errors
// (people read them out to whoever helps them), whole sentences from the
// category alone, and the line the link itself was asked for.
TEST(RunTimeErrorReport, TheLinksOwnErrorsHaveNumbersOfTheirOwnAndWholeSentences) {
  for (const auto& [errc, number, sentence] :
       {std::tuple{LinkErrc::kNotOpen, 8101, "The port is not open"},
        std::tuple{LinkErrc::kAlreadyOpen, 8102, "The port is already open"},
        std::tuple{LinkErrc::kUnsupportedSettings, 8103,
                   "This system cannot set the line as asked"},
        std::tuple{LinkErrc::kSettingsNotTaken, 8104,
                   "The driver did not take the line's settings"},
        std::tuple{LinkErrc::kStalled, 8105, "The device has taken no data"},
        std::tuple{LinkErrc::kStillLettingGo, 8106,
                   "The port is still being let go after data that the device did not take"}}) {
    const std::error_code code = errc;
    EXPECT_EQ(code.value(), number);
    EXPECT_EQ(code.message(), sentence);
  }
  PortSettings line;
  line.baud = 19200;
  line.parity = Parity::kEven;
  const LinkError refused(LinkErrc::kSettingsNotTaken, LinkStep::kSetLine, "/dev/ttyUSB0",
                          PortTrouble::kOther, line);
  EXPECT_THAT(refused.what(), EndsWith("(19200 baud, 8 data bits, even parity, 1 stop bit, no "
                                       "flow control)"));
  const RunTimeErrorReport report(refused);
  EXPECT_THAT(report.Message(), StartsWith("Run-time error '8104':"));
  EXPECT_THAT(report.Message(), HasSubstr("the driver did not take 19200 baud, 8 data bits, even "
                                          "parity"));
}

// Whatever else a job throws gets the box too, with what is known.
TEST(RunTimeErrorReport, AnythingUnexpectedIsReportedWithANumber) {
  EXPECT_EQ(RunTimeErrorReport(std::make_exception_ptr(std::bad_alloc())).Message(),
            "Run-time error '8199':\n\nThere is not enough memory.");
  EXPECT_EQ(RunTimeErrorReport(std::make_exception_ptr(std::system_error(
                                   ENOENT, std::system_category(), "cannot list /sys")))
                .Log(),
            "qj570-rs232: Run-time error '2': cannot list /sys: No such file or directory.\n");
  EXPECT_EQ(RunTimeErrorReport(std::make_exception_ptr(std::logic_error("no port"))).Message(),
            "Run-time error '8199':\n\nThe program met an error that it did not expect: no port.");
  EXPECT_THAT(RunTimeErrorReport(std::make_exception_ptr(42)).Message(),
              StartsWith("Run-time error '8199':"));
}

// Each language as its readers write it: a command ends its line, so that
// it runs into no following sentence (Chinese puts no space between them)
// and can be copied as it is; lists and asides take Chinese punctuation.
TEST(RunTimeErrorReport, ACommandEndsItsLineAndListsTakeTheLanguagesPunctuation) {
  const std::regex command(R"(qj570-rs232 --port [!-~]+|sudo adduser \$USER dialout)");
  SerialPortInfo usb("/dev/ttyUSB0");
  usb.description = "FT232R USB UART";
  usb.manufacturer = "FTDI";
  usb.serial_number = "A10K1X2B";
  usb.vendor_id = 0x0403;
  usb.product_id = 0x6001;
  for (const bool chinese : {false, true}) {
    std::optional<testing::InChinese> language;
    if (chinese) {
      language.emplace();
    }
    for (const LinkError& error : {Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing),
                                   Failure(EIO, LinkStep::kCheck, PortTrouble::kNoHardware),
                                   Failure(ENOTTY, LinkStep::kCheck, PortTrouble::kNotSerialPort),
                                   Failure(EACCES, LinkStep::kOpen, PortTrouble::kPermission)}) {
      for (const std::vector<SerialPortInfo>& ports : {std::vector<SerialPortInfo>{}, {usb}}) {
        const std::string text =
            JoinSentences(DescribeFailure(error, ports), DescribeFailure(error));
        std::size_t commands = 0;
        for (std::sregex_iterator found(text.begin(), text.end(), command), end; found != end;
             ++found, ++commands) {
          const std::string after = found->suffix().str().substr(0, 3);
          EXPECT_TRUE(after.empty() || after[0] == '\n' || after[0] == ')' ||
                      after == "\xEF\xBC\x89")  // ）
              << text;
        }
        EXPECT_GE(commands, 2U) << text;
      }
    }
    EXPECT_THAT(DescribeSerialPorts({usb}),
                HasSubstr(chinese ? "FT232R USB UART（0403:6001、FTDI、序號 A10K1X2B）"
                                  : "FT232R USB UART (0403:6001, FTDI, serial A10K1X2B)"));
    usb.description.clear();
    EXPECT_THAT(DescribeSerialPorts({usb}),
                HasSubstr(chinese ? "  （0403:6001、" : "  (0403:6001, "));
    usb.description = "FT232R USB UART";
  }
}

// The ports this computer has are listed only where another port could help.
TEST(RunTimeErrorReport, ListsThePortsOnlyWhenThePortCouldNotBeTaken) {
  const RunTimeErrorReport missing(Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing));
  EXPECT_THAT(missing.Message(), StartsWith("Run-time error '2':\n\ncannot open serial port"));
  EXPECT_THAT(missing.Message(), HasSubstr("\n\n"));
  EXPECT_THAT(missing.Log(), StartsWith("qj570-rs232: Run-time error '2': cannot open"));
  EXPECT_THAT(missing.Log(), HasSubstr("--port "));

  const RunTimeErrorReport gone(Failure(EIO, LinkStep::kWrite, PortTrouble::kGone));
  EXPECT_THAT(gone.Message(), EndsWith("then print again."));
  EXPECT_THAT(gone.Log(), EndsWith("then print again.\n"));

  const RunTimeErrorReport twice(
      LinkError(LinkErrc::kAlreadyOpen, LinkStep::kOpen, "/dev/ttyS0", PortTrouble::kOther));
  EXPECT_THAT(twice.Message(), EndsWith(": it is already open."));
  EXPECT_THAT(twice.Message(), StartsWith("Run-time error '8102':"));
  EXPECT_THAT(twice.Message(), Not(HasSubstr("on this computer")));
}

// The box offers only ports that can help: not the one that failed, not one
// whose node is missing, not one in use, three at most, and only for a
// missing port or one with no hardware. The list says why one is left out.
TEST(RunTimeErrorReport, OffersOnlyPortsThatAreThereAndFree) {
  // Nodes every machine has stand in for ports; /dev/null is the one that failed.
  std::vector<SerialPortInfo> ports{{"/dev/null", {}},    {"/dev/zero", {"/dev/by-id/a"}},
                                    {"/nonexistent", {}}, {"/dev/tty", {}},
                                    {"/dev/full", {}},    {"/dev/random", {}},
                                    {"/dev/urandom", {}}, {"/dev/kmsg", {}}};
  ports[1].description = "FT232R USB UART";
  std::vector<PortUsers> users(ports.size());
  users[4].processes = {{900, "minicom"}};
  users[5].console = "ttyS0";
  users[6].lock_file = LockFileOwner{77, "/run/lock/LCK..urandom"};
  users[6].lock_file_process = "cu";
  const LinkError missing = Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing, "/dev/null");
  std::vector<std::string> offered;
  for (const SerialPortInfo& port : PortsToOffer(missing, ports, users)) {
    offered.push_back(PrintOnLabel(port));
  }
  EXPECT_EQ(offered, (std::vector<std::string>{"Print on /dev/zero (FT232R USB UART)\n/dev/by-id/a",
                                               "Print on /dev/tty", "Print on /dev/kmsg"}));
  EXPECT_THAT(DescribeSerialPorts(ports, users),
              HasSubstr("\n  /dev/full\n    in use by minicom (pid 900)\n  /dev/random\n    the "
                        "system console\n  /dev/urandom\n    in use by cu (pid 77)\n"));
  EXPECT_EQ(
      PortsToOffer(Failure(EIO, LinkStep::kCheck, PortTrouble::kNoHardware, "/dev/null"), ports, {})
          .size(),
      3U);
  EXPECT_TRUE(PortsToOffer(Failure(EACCES, LinkStep::kOpen, PortTrouble::kPermission, "/dev/null"),
                           ports, {})
                  .empty());
  EXPECT_TRUE(
      PortsToOffer(Failure(EIO, LinkStep::kWrite, PortTrouble::kGone, "/dev/null"), ports, {})
          .empty());
}

// --line takes the settings as self-test pages print them, in any case and
// with the usual separators, and refuses what would garble the receipt.
TEST(LineSettings, ReadsWhatASelfTestPagePrintsAndRefusesTheRest) {
  const auto text = [](const char* line) { return LineSettingsText(ParseLineSettings(line)); };
  EXPECT_EQ(text("19200"), "19200,8N1");
  EXPECT_EQ(text("38400,8E1"), "38400,8E1");
  EXPECT_EQ(text(" 115200bps , 8-o-2 "), "115200,8O2");
  EXPECT_EQ(text("9600,8N1,RTS/CTS"), "9600,8N1,rtscts");
  EXPECT_EQ(text("1200,xonxoff"), "1200,8N1,xonxoff");
  EXPECT_EQ(text("57600,8n1,none"), "57600,8N1");
  const PortSettings odd = ParseLineSettings("4800,8O1,xon/xoff");
  EXPECT_EQ(odd.baud, 4800U);
  EXPECT_EQ(odd.data_bits, 8U);
  EXPECT_EQ(odd.parity, Parity::kOdd);
  EXPECT_EQ(odd.stop_bits, StopBits::kOne);
  EXPECT_EQ(odd.flow_control, FlowControl::kXonXoff);
  EXPECT_EQ(odd.dtr, kPortSettings.dtr);  // what --line does not name stays as it was
  const auto refused = [](const char* line) {
    try {
      ParseLineSettings(line);
    } catch (const UsageError& e) {
      return std::string(e.what());
    }
    return std::string("taken");
  };
  EXPECT_THAT(refused("19200,7E1"), HasSubstr("7 data bits cannot carry the receipt, whose Big5"));
  EXPECT_THAT(refused("14400"), HasSubstr("14400 baud is not a standard speed"));
  EXPECT_THAT(refused("230400"), HasSubstr("not a standard speed"));
  EXPECT_THAT(refused("9600,8M1"), HasSubstr("'8M1' is neither a framing"));
  EXPECT_THAT(refused("9600,8N1,dtrdsr"), HasSubstr("'dtrdsr' is neither"));
  for (const char* line :
       {"8N1", "", "9600,", "9600,rtscts,8N1", "9600,8N1,8E1", "9600 8N1", "96OO"}) {
    EXPECT_THAT(refused(line), HasSubstr("write the speed, then the framing")) << line;
  }
}

}  // namespace
}  // namespace qj570::app
