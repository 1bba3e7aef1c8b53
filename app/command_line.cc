#include "app/command_line.h"

#include <exception>
#include <string_view>

#include "app/error_report.h"
#include "app/exit_status.h"
#include "app/line_settings.h"
#include "app/main_window.h"
#include "app/preview.h"
#include "app/process.h"
#include "app/receipt_file.h"
#include "app/translation.h"
#include "receipt/serial/serial_link.h"
#include "receipt/serial/serial_ports.h"

namespace qj570::app {
namespace {

// The value of --name VALUE or --name=VALUE at args[i]; advances i past it.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
               std::string& value) {
  const std::string_view arg = args[i];
  if (arg == name) {
    if (i + 1 >= args.size()) {
      throw UsageError(Format(Tr("{0} needs a value"), {name}));
    }
    value = args[++i];
    return true;
  }
  if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

Options ParseCommandLine(const std::vector<std::string>& args) {
  Options options;
  options.port = DefaultPort();
  bool port_given = false;
  bool line_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    if (arg == "--help" || arg == "-h" || arg == "--version" || arg == "--list-ports") {
      if (args.size() != 1) {
        throw UsageError(Format(Tr("{0} takes no other argument"), {arg}));
      }
      options.action = arg == "--version"      ? Options::Action::kVersion
                       : arg == "--list-ports" ? Options::Action::kListPorts
                                               : Options::Action::kHelp;
    } else if (TakeValue(args, i, "--port", value)) {
      const auto port = PortFromUserName(value);
      if (port_given || !port) {
        throw UsageError(port_given ? Tr("--port is given twice")
                                    : Format(Tr("'{0}' is not a port"), {value}));
      }
      options.port = *port;
      port_given = true;
      options.port_given = true;
    } else if (TakeValue(args, i, "--line", value)) {
      if (line_given) {
        throw UsageError(Tr("--line is given twice"));
      }
      options.settings = ParseLineSettings(value);
      line_given = true;
    } else if (TakeValue(args, i, "--receipt", value)) {
      if (options.action == Options::Action::kPrintReceipt || value.empty()) {
        throw UsageError(value.empty() ? Tr("--receipt needs a file")
                                       : Tr("--receipt is given twice"));
      }
      options.action = Options::Action::kPrintReceipt;
      options.receipt = value;
    } else if (TakeValue(args, i, "--preview", value)) {
      if (!options.preview.empty() || value.empty()) {
        throw UsageError(value.empty() ? Tr("--preview needs a file")
                                       : Tr("--preview is given twice"));
      }
      options.preview = value;
    } else {
      throw UsageError(Format(Tr("unknown argument '{0}'"), {arg}));
    }
  }
  if (!options.preview.empty()) {
    if (port_given || line_given) {
      throw UsageError(Format(Tr("--preview opens no port: it cannot be given with {0}"),
                              {port_given ? "--port" : "--line"}));
    }
    options.action = Options::Action::kPreview;
  }
  return options;
}

std::string Usage() {
  return Format(
             Tr("Usage: qj570-rs232 [--port PORT] [--line SETTINGS] [--receipt FILE]\n"
                "       qj570-rs232 --preview FILE.png [--receipt FILE]\n"
                "       qj570-rs232 --list-ports | --help | --version\n"
                "\n"
                "Without --receipt, opens a window whose button prints a sample receipt on\n"
                "the QJ-570 printer on serial port {0},\n"
                "at {1}.\n"
                "\n"
                "  --port PORT     use this serial port instead (/dev/ttyUSB0; COM3 on Windows)\n"
                "  --line SETTINGS the line's speed, framing and flow control for this run, as\n"
                "                  the printer's self-test page shows them: 19200, 38400,8E1,\n"
                "                  9600,8N1,rtscts or 9600,8N1,xonxoff ({2} unless given).\n"
                "                  If the printer prints garbage, its speed or framing\n"
                "                  differs: its self-test page shows them\n"
                "  --receipt FILE  print FILE, UTF-8 text, then end, with no window; - reads\n"
                "                  standard input. Each line prints as a line; SO may stand in it\n"
                "  --preview PNG   draw the receipt (the sample, or --receipt's) as the printer\n"
                "                  would print it, into the picture PNG (- writes it to\n"
                "                  standard output, for a pipe); opens no port\n"
                "  --list-ports    list the serial ports that have hardware behind them\n"
                "  --help          show this help\n"
                "  --version       show the version\n"),
             {DefaultPort(), SettingsInWords(kPortSettings), LineSettingsText(kPortSettings)}) +
         "\n" + ExitStatusesInWords();
}

namespace {

int Run(const Options& options) {
  switch (options.action) {
    case Options::Action::kHelp:
      PrintOut(Usage());
      return Code(ExitStatus::kDone);
    case Options::Action::kVersion:
      PrintOut("qj570-rs232 " QJ570_VERSION "\n");
      return Code(ExitStatus::kDone);
    case Options::Action::kListPorts: {
      const std::vector<SerialPortInfo> ports = FindSerialPorts();
      PrintOut(DescribeSerialPorts(ports, FindUsersOf(ports)) + "\n");
      return Code(ExitStatus::kDone);
    }
    case Options::Action::kPrintReceipt:
      return PrintReceiptFile(options.receipt, options.port, options.settings);
    case Options::Action::kPreview:
      return WritePreview(options.preview, options.receipt);
    case Options::Action::kWindow:
      break;
  }
  Form1 form1(options.port, options.settings, !options.port_given);
  form1.Show();
  return form1.Run();
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args) {
  Options options;
  try {
    options = ParseCommandLine(args);
  } catch (const UsageError& error) {
    // What was wrong and where to read more, as GNU programs say it: the
    // whole help would push the line that matters off the screen.
    PrintError(std::string("qj570-rs232: ") + error.what() + "\n" +
               Tr("Try 'qj570-rs232 --help' for more information.") + "\n");
    return Code(ExitStatus::kUsage);
  }
  try {
    return Run(options);
  } catch (...) {  // what no part of the program reported: no memory, no window
    PrintError(RunTimeErrorReport(std::current_exception()).Log());
  }
  return Code(ExitStatus::kFailed);
}

}  // namespace qj570::app
