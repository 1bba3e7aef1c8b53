#include "app/picture_error.h"
#include "app/translation.h"

namespace qj570::app {

// MingLiU and PMingLiU come with this optional feature on Windows 10 and
// 11 outside Taiwan's language; Microsoft JhengHei is on every Windows
// from Vista on, so this is rarely read.
std::string NoFontAdvice() {
  return Tr(
      "add the optional feature Chinese (Traditional) Supplemental Fonts in Windows' "
      "Settings");
}

}  // namespace qj570::app
