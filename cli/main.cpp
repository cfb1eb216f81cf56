// The process entry.
#include <stdio.h>

#include "cli/zapext.h"
#include "platform/stack.h"
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

int RunTool(void* command_line) {
  CommandLine* c = static_cast<CommandLine*>(command_line);
  return ZapextMain(RealFileSystem(), c->argc, c->argv, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // No tree the process can open is too deep for the stack it sweeps on.
  CommandLine command_line = {argc, argv};
  return RunWithStackForDepth(kSweepStackPerLevel, RunTool, &command_line);
}
