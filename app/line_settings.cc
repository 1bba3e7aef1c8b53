#include "app/line_settings.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "app/command_line.h"
#include "app/translation.h"

namespace qj570::app {
namespace {

// The rates every serial driver offers, Linux's and Windows' alike.
constexpr std::array<unsigned, 8> kStandardRates{1200,  2400,  4800,  9600,
                                                 19200, 38400, 57600, 115200};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lower;
}

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = std::min(text.find_first_not_of(' '), text.size());
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last == std::string_view::npos ? 0 : last + 1 - first);
}

// "19200", also "19200bps" or "19200 baud" as some pages print it.
std::optional<unsigned> Speed(std::string_view written) {
  const std::string lower = Lower(written);
  std::string_view field = lower;
  for (const std::string_view unit : {"bps", "baud"}) {
    if (field.ends_with(unit)) {
      field = Trimmed(field.substr(0, field.size() - unit.size()));
    }
  }
  if (field.empty() || field.size() > 7 || field.find_first_not_of("0123456789") != field.npos) {
    return std::nullopt;
  }
  unsigned speed = 0;
  for (const char digit : field) {
    speed = speed * 10 + static_cast<unsigned>(digit - '0');
  }
  return speed;
}

// "8n1", "8-e-1", "8/o/2": data bits, parity, stop bits. 5 to 7 data bits
// are taken here, so that 7E1 can be refused for what it is.
bool TakeFraming(std::string_view field, PortSettings& settings) {
  std::string compact;
  for (const char c : Lower(field)) {
    if (c != '-' && c != '/' && c != ' ') {
      compact += c;
    }
  }
  if (compact.size() != 3 || compact[0] < '5' || compact[0] > '8' ||
      std::string_view("noe").find(compact[1]) == std::string_view::npos ||
      (compact[2] != '1' && compact[2] != '2')) {
    return false;
  }
  settings.data_bits = static_cast<unsigned>(compact[0] - '0');
  settings.parity = compact[1] == 'o'   ? Parity::kOdd
                    : compact[1] == 'e' ? Parity::kEven
                                        : Parity::kNone;
  settings.stop_bits = compact[2] == '2' ? StopBits::kTwo : StopBits::kOne;
  return true;
}

bool TakeFlow(std::string_view written, PortSettings& settings) {
  const std::string field = Lower(written);
  for (const std::string_view none : {"none", "off"}) {
    if (field == none) {
      settings.flow_control = FlowControl::kNone;
      return true;
    }
  }
  for (const std::string_view hardware : {"rtscts", "rts/cts", "rts-cts", "crtscts", "hardware"}) {
    if (field == hardware) {
      settings.flow_control = FlowControl::kRtsCts;
      return true;
    }
  }
  for (const std::string_view software : {"xonxoff", "xon/xoff", "xon-xoff", "software"}) {
    if (field == software) {
      settings.flow_control = FlowControl::kXonXoff;
      return true;
    }
  }
  return false;
}

}  // namespace

PortSettings ParseLineSettings(std::string_view text) {
  // Each field in lower case, but named in messages as it was written.
  const std::string_view trimmed = Trimmed(text);
  std::vector<std::string_view> fields;
  for (std::size_t start = 0; start <= trimmed.size();) {
    const std::size_t end = std::min(trimmed.find(',', start), trimmed.size());
    fields.push_back(Trimmed(trimmed.substr(start, end - start)));
    start = end + 1;
  }
  const auto misread = [&] {
    return UsageError(Format(Tr("--line {0}: write the speed, then the framing and the flow "
                                "control if any, as in 19200, 38400,8E1 or 9600,8N1,rtscts"),
                             {text}));
  };
  const std::optional<unsigned> speed = Speed(fields[0]);
  if (!speed || fields.size() > 3) {
    throw misread();
  }
  if (std::find(kStandardRates.begin(), kStandardRates.end(), *speed) == kStandardRates.end()) {
    throw UsageError(Format(Tr("--line {0}: {1} baud is not a standard speed; use 1200, 2400, "
                               "4800, 9600, 19200, 38400, 57600 or 115200"),
                            {text, std::to_string(*speed)}));
  }
  PortSettings settings = kPortSettings;
  settings.baud = *speed;
  // The framing, if given, comes before the flow control, each once.
  bool framing_given = false;
  bool flow_given = false;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    PortSettings ignored;
    if (!framing_given && !flow_given && TakeFraming(fields[i], settings)) {
      framing_given = true;
    } else if (!flow_given && TakeFlow(fields[i], settings)) {
      flow_given = true;
    } else if (fields[i].empty() || TakeFraming(fields[i], ignored) ||
               TakeFlow(fields[i], ignored)) {
      throw misread();
    } else {
      throw UsageError(Format(Tr("--line {0}: '{1}' is neither a framing such as 8N1, 8E1 or "
                                 "8N2 nor a flow control (rtscts, xonxoff or none)"),
                              {text, fields[i]}));
    }
  }
  if (settings.data_bits != 8) {
    throw UsageError(Format(Tr("--line {0}: {1} data bits cannot carry the receipt, whose Big5 "
                               "text needs all 8 bits of each byte; set the printer to 8 data "
                               "bits"),
                            {text, std::to_string(settings.data_bits)}));
  }
  return settings;
}

std::string LineSettingsText(const PortSettings& settings) {
  static constexpr std::array<char, 3> kParity{'N', 'O', 'E'};
  static constexpr std::array<const char*, 3> kFlow{"", ",rtscts", ",xonxoff"};
  return std::to_string(settings.baud) + "," + std::to_string(settings.data_bits) +
         kParity.at(static_cast<std::size_t>(settings.parity)) +
         (settings.stop_bits == StopBits::kTwo ? "2" : "1") +
         kFlow.at(static_cast<std::size_t>(settings.flow_control));
}

}  // namespace qj570::app
