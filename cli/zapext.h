// The command line front end, apart from the process entry so tests can run
// it against any file system.
#ifndef ZAPEXT_CLI_ZAPEXT_H_
#define ZAPEXT_CLI_ZAPEXT_H_

#include <stdio.h>

#include <atomic>

#include "platform/file_system.h"

struct ZapextOptions {
  // Threads that read directories, and remove their matching files, ahead
  // of the sweep; with 0 the sweep lists and removes alone, one after the
  // other. The output is the same either way.
  unsigned workers = 0;
  // Whether someone watches the output (a terminal): each file's line is
  // then written before its removal, as the single-threaded sweep does,
  // and only the reading of directories runs ahead on the threads.
  bool watched = false;
  // When it turns nonzero the sweep stops after the file at hand, and the
  // total is printed for what was done (status 2). Running out of memory
  // stops it the same way, with a line that says so.
  const std::atomic<int>* interrupted = nullptr;
  // Whether the workers start only where a processor is free beside the
  // sweep's, or the file system keeps them waiting. The process looks;
  // the tests do not, as a busy test machine would start none.
  bool beside_others = false;
  // For the tests: the workers all work from the start and stay so, as
  // where the file system keeps them waiting.
  bool as_if_waiting = false;
  // For the tests: the workers start only beside others, and every
  // processor is taken: none starts.
  bool as_if_busy = false;
};

// Runs the tool for the command line `argv` in the current directory of
// `fs`, printing to `out`: a sweep, a dry run, or the text an option asks
// for. Returns the exit status: 0 when all went well, 1 for a missing or
// refused argument, 2 when anything failed.
int ZapextMain(FileSystem* fs, int argc, char** argv, FILE* out,
               const ZapextOptions& options = ZapextOptions());

// The whole process on the machine's file system and standard output: with
// `workers` worker threads (see ZapextOptions), output buffering, and
// interruptions handled. Returns the exit status, unless a signal ended the run.
int RunZapext(int argc, char** argv, unsigned workers);

// How many worker threads the tool runs with on this machine.
unsigned DefaultWorkers();

#endif  // ZAPEXT_CLI_ZAPEXT_H_
