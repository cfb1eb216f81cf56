// The process entry.
#include <stdio.h>

#include <exception>

#include "cli/zapext.h"
#include "platform/stack.h"
#include "platform/terminal.h"
#include "sweep/sweep.h"

#ifdef _WIN32
// Hand "*.bak" to the tool as typed; the runtime would expand it otherwise.
int _dowildcard = 0;
#endif

namespace {

struct CommandLine {
  int argc;
  char** argv;
};

std::terminate_handler runtime_terminate;

// Running out of memory ends the process. The files announced so far are
// gone, so their lines go out first.
void FlushAndTerminate() {
  fflush(stdout);
  runtime_terminate();
}

int RunTool(void* command_line) {
  CommandLine* c = static_cast<CommandLine*>(command_line);
  return ZapextMain(RealFileSystem(), c->argc, c->argv, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  runtime_terminate = std::set_terminate(FlushAndTerminate);
  // Into a file or a pipe the lines go out in large blocks. A terminal keeps
  // the runtime's own buffering, which writes each line as it comes, so a
  // person sees each file as it goes.
  static char buffer[64 * 1024];
  if (!IsTerminal(stdout)) setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  // No tree the process can open is too deep for the stack it sweeps on.
  CommandLine command_line = {argc, argv};
  return RunWithStackForDepth(kSweepStackPerLevel, RunTool, &command_line);
}
