#include "app/error_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

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
            "in. Choose the printer's port with --port: qj570-rs232 --port /dev/ttyUSB0");
  // Someone who started it from the menu gets the exact command for a port
  // that is there, never for the one that failed.
  EXPECT_THAT(DescribeFailure(Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing),
                              {{"/dev/ttyS0", {}}, {"/dev/ttyUSB0", {}}}),
              EndsWith("To print on /dev/ttyUSB0, start the program as: qj570-rs232 --port "
                       "/dev/ttyUSB0"));
  EXPECT_EQ(DescribeFailure(Failure(EIO, LinkStep::kCheck, PortTrouble::kNoHardware)),
            "cannot use serial port /dev/ttyS0: Input/output error. No serial port hardware "
            "answers at /dev/ttyS0: the name exists on most computers, with or without a COM "
            "port. Connect the printer to a port that has one. Choose the printer's port with "
            "--port: qj570-rs232 --port /dev/ttyUSB0");
  EXPECT_THAT(DescribeFailure(Failure(EACCES, LinkStep::kOpen, PortTrouble::kPermission)),
              EndsWith("Permission denied. You may not use this port: add your user to the "
                       "'dialout' group (sudo adduser $USER dialout) and log in again."));
  EXPECT_THAT(DescribeFailure(Failure(EWOULDBLOCK, LinkStep::kLock, PortTrouble::kBusy)),
              StartsWith("cannot lock serial port /dev/ttyS0: Resource temporarily "
                         "unavailable. Another program is using the port"));
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
  EXPECT_EQ(DescribeFailure(LinkError(LinkErrc::kStalled, LinkStep::kDrain, "/dev/ttyACM0",
                                      PortTrouble::kStalled, "6 s", std::chrono::seconds(6))),
            "cannot send the rest of the data to serial port /dev/ttyACM0: the device has taken "
            "no data for 6 s. Is the printer switched on, loaded with paper and online? The "
            "receipt may be cut short: print it again once the printer is ready.");
  EXPECT_EQ(DescribeFailure(Failure(EINVAL, LinkStep::kSetLine, PortTrouble::kOther)),
            "cannot set the line of serial port /dev/ttyS0: Invalid argument.");
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
  EXPECT_THAT(twice.Message(), Not(HasSubstr("on this computer")));
}

// The box offers only ports that can help: not the one that failed, not one
// whose node is missing, three at most, and only for a missing port or one
// with no hardware.
TEST(RunTimeErrorReport, OffersOnlyPortsThatAreThere) {
  // Nodes every machine has stand in for ports; /dev/null is the one that failed.
  const std::vector<SerialPortInfo> ports{{"/dev/null", {}},    {"/dev/zero", {"/dev/by-id/a"}},
                                          {"/nonexistent", {}}, {"/dev/tty", {}},
                                          {"/dev/full", {}},    {"/dev/random", {}}};
  std::vector<std::string> offered;
  for (const SerialPortInfo& port :
       PortsToOffer(Failure(ENOENT, LinkStep::kOpen, PortTrouble::kMissing, "/dev/null"), ports)) {
    offered.push_back(PrintOnLabel(port));
  }
  EXPECT_EQ(offered, (std::vector<std::string>{"Print on /dev/zero\n/dev/by-id/a",
                                               "Print on /dev/tty", "Print on /dev/full"}));
  EXPECT_EQ(
      PortsToOffer(Failure(EIO, LinkStep::kCheck, PortTrouble::kNoHardware, "/dev/null"), ports)
          .size(),
      3U);
  EXPECT_TRUE(
      PortsToOffer(Failure(EACCES, LinkStep::kOpen, PortTrouble::kPermission, "/dev/null"), ports)
          .empty());
  EXPECT_TRUE(
      PortsToOffer(Failure(EIO, LinkStep::kWrite, PortTrouble::kGone, "/dev/null"), ports).empty());
}

}  // namespace
}  // namespace qj570::app
