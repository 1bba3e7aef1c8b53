#include "app/picture_error.h"

#include <system_error>

#include "app/translation.h"
#include "receipt/cp950.h"

namespace qj570::app {

std::string DescribePictureError(const paper::PictureError& error) {
  using Problem = paper::PictureError::Problem;
  switch (error.problem()) {
    case Problem::kNoFont:
      return Tr(
          "no font for Traditional Chinese was found: install fonts-noto-cjk (or "
          "fonts-arphic-uming)");
    case Problem::kBadFont:
      return Format(Tr("the font {0} cannot be used (FreeType error {1})"),
                    {error.name(), std::to_string(error.value())});
    case Problem::kNoGlyph:
      return Format(Tr("line {0}: the font {1} has no glyph for {2}, so the picture cannot "
                       "show it"),
                    {std::to_string(error.line()), error.name(), CodePointName(error.value())});
    case Problem::kUnwritable:
      break;
  }
  return Format(Tr("cannot write {0}: {1}"),
                {error.name(), std::generic_category().message(static_cast<int>(error.value()))});
}

}  // namespace qj570::app
