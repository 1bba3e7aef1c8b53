#pragma once

#include <istream>
#include <string>
#include <string_view>
#include <vector>

// What the program needs of its process, one file per platform.
namespace qj570::app {

// Run first, before any toolkit starts.
void PrepareProcess();

// The command line after the program's name, in UTF-8.
std::vector<std::string> Arguments(int argc, char* argv[]);

// Text for the user who ran the program from a shell. A Windows GUI
// program may have no console: there it shows a message box instead.
void PrintOut(std::string_view text);
void PrintError(std::string_view text);

// One line for the log (standard error), where there is one. Never a box.
void LogError(std::string_view text);

// Standard input, as bytes.
std::istream& StandardInput();

// Bytes to standard output just as they are (no text mode on Windows), for
// a pipe. Throws std::system_error when they cannot all go.
void WriteOutBytes(std::string_view bytes);

}  // namespace qj570::app
