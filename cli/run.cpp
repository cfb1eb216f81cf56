// The process around the tool: where its lines go and how fast, the stack
// the sweep runs on, and an interruption.
#include <stdio.h>

#include <exception>

#include "cli/zapext.h"
#include "platform/interrupt.h"
#include "platform/stack.h"
#include "platform/terminal.h"
#include "platform/thread.h"
#include "sweep/sweep.h"

namespace {

struct Run {
  int argc;
  char** argv;
  ZapextOptions options;
};

std::terminate_handler runtime_terminate;

// Running out of memory ends the process. The files announced so far are
// gone, so their lines go out first.
void FlushAndTerminate() {
  FlushToTheEnd(stdout);
  runtime_terminate();
}

int RunTool(void* run) {
  Run* r = static_cast<Run*>(run);
  return ZapextMain(RealFileSystem(), r->argc, r->argv, stdout, r->options);
}

}  // namespace

unsigned DefaultWorkers() {
  // Removals wait on the file system more than they compute: a slow or
  // remote one wants many in flight, a local disk one per processor.
  unsigned workers = 4 * ProcessorCount();
  return workers < 8 ? 8 : workers > 32 ? 32 : workers;
}

int RunZapext(int argc, char** argv, unsigned workers) {
  runtime_terminate = std::set_terminate(FlushAndTerminate);
  SetUpHeaps();
  // Into a file or a pipe the lines go out in large blocks. A terminal keeps
  // the runtime's own buffering, which writes each line as it comes, so a
  // person sees each file as it goes.
  static char buffer[64 * 1024];
  bool watched = IsTerminal(stdout);
  if (!watched) setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  ShowTextAsItIs(stdout);
  Run run = {argc, argv, ZapextOptions()};
  run.options.workers = workers;
  run.options.watched = watched;
  run.options.beside_others = true;
  run.options.interrupted = CatchInterruptions();
  // No tree the process can open is too deep for the stack it sweeps on.
  int status = RunWithStackForDepth(kSweepStackPerLevel, RunTool, &run);
  if (!FlushToTheEnd(stdout) && status == 0) status = 2;
  if (int signal_number = run.options.interrupted->load()) {
    // The lines are out; now end as the signal would have, so the caller
    // sees an interrupted run.
    EndAsInterrupted(signal_number);
  }
  return status;
}
