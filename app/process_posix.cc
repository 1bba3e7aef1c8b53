#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <system_error>

#include "app/process.h"
#include "receipt/serial/link_error.h"

namespace qj570::app {

void PrepareProcess() {
  // The window takes no text, so Xlib need not parse the locale's whole
  // compose table when it opens the display (a third of the start-up).
  setenv("XCOMPOSEFILE", "/dev/null", 0);  // NOLINT(concurrency-mt-unsafe): one thread yet
}

std::vector<std::string> Arguments(int argc, char* argv[]) {
  return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

void PrintOut(std::string_view text) { std::cout << text << std::flush; }

void PrintError(std::string_view text) { std::cerr << text << std::flush; }

void LogError(std::string_view text) { std::cerr << text << std::flush; }

std::istream& StandardInput() { return std::cin; }

void WriteOutBytes(std::string_view bytes) {
  std::cout.flush();
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw std::system_error(n == 0 ? EIO : errno, SystemCategory());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace qj570::app
