#pragma once

#include <string>

#include "paper/picture.h"

namespace qj570::app {

// What stopped a picture of the paper, in the user's language: the file
// or the character, and the system's reason.
std::string DescribePictureError(const paper::PictureError& error);

}  // namespace qj570::app
