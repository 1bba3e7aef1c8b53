#include "app/command_line.h"
#include "app/process.h"

int main(int argc, char* argv[]) {
  qj570::app::PrepareProcess();
  return qj570::app::RunCommandLine(qj570::app::Arguments(argc, argv));
}
