#include "app/picture_error.h"
#include "app/translation.h"

namespace qj570::app {

// Debian's fonts with Taiwan's forms: Noto Sans CJK TC, or the smaller AR
// PL UMing.
std::string NoFontAdvice() { return Tr("install fonts-noto-cjk (or fonts-arphic-uming)"); }

}  // namespace qj570::app
