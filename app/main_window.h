#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "receipt/serial/serial_link.h"

namespace qj570::app {

// The program's window, with its button Command1 and its serial control
// MSComm1, which it owns for the program's whole life. Each file of the form
// main_window_<toolkit>.cc builds it for one toolkit.
class Form1 {
 public:
  // Creates the window and its controls; the port stays closed, to be set
  // up with `settings` at each press. With `offer_ports`, a box about a
  // missing port offers the ports there are.
  explicit Form1(std::string port = DefaultPort(), PortSettings settings = kPortSettings,
                 bool offer_ports = false);
  // Lets the port go if a failed job left it held.
  ~Form1();
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;
  Form1(Form1&&) = delete;
  Form1& operator=(Form1&&) = delete;

  void Show();
  // Waits for input until the program ends; returns its exit status: 0 when
  // the window was closed, 1 after a failed job was reported.
  int Run();

 private:
  struct Widgets;  // the toolkit's part
  static std::unique_ptr<Widgets> MakeWidgets();

  // One whole receipt job per activation of Command1, on the window's
  // thread. Input that arrives meanwhile waits for it, so a press made
  // during a job leads to one more job afterwards. Nothing leaves it: a
  // 32-bit Windows program cannot unwind through user32's frames.
  void Command1_Click();
  // Shows what failed (a link error, or anything else), then ends the
  // program, unless the user chose another port to print on.
  void ReportFailure(const std::exception_ptr& failure) noexcept;
  // Shows the error modally, with a button for each of `choices`, and
  // returns the one chosen; none when the box was dismissed.
  std::optional<std::size_t> ShowError(const std::string& message,
                                       const std::vector<std::string>& choices);
  // After an error: the program ends with status 1.
  void End() noexcept;

  SerialLink MSComm1;
  std::unique_ptr<Widgets> widgets_;
  int exit_status_ = 0;
  bool offer_ports_;
};

}  // namespace qj570::app
