#include <cstdlib>
#include <iostream>

#include "app/process.h"

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

}  // namespace qj570::app
