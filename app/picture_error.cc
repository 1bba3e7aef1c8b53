#include "app/picture_error.h"

#include "app/translation.h"
#include "receipt/cp950.h"
#include "receipt/serial/link_error.h"

namespace qj570::app {

std::string DescribePictureError(const paper::PictureError& error) {
  using Problem = paper::PictureError::Problem;
  switch (error.problem()) {
    case Problem::kNoFont:
      return Format(Tr("no font for Traditional Chinese was found: {0}"), {NoFontAdvice()});
    case Problem::kBadFont:
      return Format(Tr("the font {0} cannot be used (error {1})"),
                    {error.name(), std::to_string(error.value())});
    case Problem::kNoGlyph:
      return Format(Tr("line {0}: the font {1} has no glyph for {2}, so the picture cannot "
                       "show it"),
                    {std::to_string(error.line()), error.name(), CodePointName(error.value())});
    case Problem::kTooTall:
      return Format(Tr("too long for one picture: it takes {0} lines of paper, and a picture "
                       "holds {1} at most"),
                    {std::to_string(error.value()), std::to_string(paper::kMaxLines)});
    case Problem::kUnencodable:
      return Format(Tr("the PNG cannot be made: {0}"), {error.name()});
    case Problem::kUnwritable:
      break;
  }
  return Format(Tr("cannot write {0}: {1}"),
                {error.name(), SystemCategory().message(static_cast<int>(error.value()))});
}

}  // namespace qj570::app
