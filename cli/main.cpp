// The process entry.
#include <signal.h>
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

volatile sig_atomic_t interrupted = 0;

extern "C" void Interrupt(int signal_number) { interrupted = signal_number; }

// Ctrl-C or a polite kill stops the sweep between two files, so that every
// file removed is announced in the output before the process goes; a
// signal the caller chose to ignore stays ignored.
void CatchInterruptions() {
  for (int signal_number : {SIGINT, SIGTERM}) {
    if (signal(signal_number, Interrupt) == SIG_IGN) signal(signal_number, SIG_IGN);
  }
}

std::terminate_handler runtime_terminate;

// Running out of memory ends the process. The files announced so far are
// gone, so their lines go out first.
void FlushAndTerminate() {
  fflush(stdout);
  runtime_terminate();
}

int RunTool(void* command_line) {
  CommandLine* c = static_cast<CommandLine*>(command_line);
  return ZapextMain(RealFileSystem(), c->argc, c->argv, stdout, &interrupted);
}

}  // namespace

int main(int argc, char** argv) {
  runtime_terminate = std::set_terminate(FlushAndTerminate);
  // Into a file or a pipe the lines go out in large blocks. A terminal keeps
  // the runtime's own buffering, which writes each line as it comes, so a
  // person sees each file as it goes.
  static char buffer[64 * 1024];
  if (!IsTerminal(stdout)) setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  CatchInterruptions();
  // No tree the process can open is too deep for the stack it sweeps on.
  CommandLine command_line = {argc, argv};
  int status = RunWithStackForDepth(kSweepStackPerLevel, RunTool, &command_line);
  if (interrupted) {
    // The lines are out; now end as the signal would have, so the caller
    // sees an interrupted run.
    fflush(stdout);
    signal(interrupted, SIG_DFL);
    raise(interrupted);
  }
  return status;
}
