#pragma once

#include <string>

namespace qj570::app {

// Draws the receipt the printer would print into the PNG file `png` ("-":
// standard output): the sample receipt, or the one in `receipt` ("-":
// standard input) when it is not empty. Opens no port and needs no
// display. Reports any failure on standard error and returns the exit
// status: 0 written; 10 for a receipt that cannot be read or is too long
// for one picture; else 1.
int WritePreview(const std::string& png, const std::string& receipt);

}  // namespace qj570::app
