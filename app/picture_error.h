#pragma once

#include <string>

#include "paper/picture.h"

namespace qj570::app {

// What stopped a picture of the paper, in the user's language: the file
// or the character, and the system's reason.
std::string DescribePictureError(const paper::PictureError& error);

// What to install when the system has no font for Traditional Chinese:
// one file a system.
std::string NoFontAdvice();

}  // namespace qj570::app
