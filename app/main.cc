#include "app/command_line.h"
#include "app/process.h"
#include "app/translation.h"

int main(int argc, char* argv[]) {
  qj570::app::PrepareProcess();
  qj570::app::SetUpLanguage();
  return qj570::app::RunCommandLine(qj570::app::Arguments(argc, argv));
}
