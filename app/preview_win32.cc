#include "app/exit_status.h"
#include "app/preview.h"
#include "app/process.h"
#include "app/translation.h"

namespace qj570::app {

// The picture needs fontconfig and FreeType, which the Windows program
// does not carry.
int WritePreview(const std::string& /*png*/, const std::string& /*receipt*/) {
  PrintError(std::string("qj570-rs232: ") +
             Tr("--preview draws the receipt on Linux only; this Windows program cannot") + "\n");
  return Code(ExitStatus::kFailed);
}

}  // namespace qj570::app
