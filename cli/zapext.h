// The command line front end, apart from the process entry so tests can run
// it against any file system.
#ifndef ZAPEXT_CLI_ZAPEXT_H_
#define ZAPEXT_CLI_ZAPEXT_H_

#include <signal.h>
#include <stdio.h>

#include "platform/file_system.h"

// Runs the tool for the command line `argv` in the current directory of
// `fs`, printing to `out`. Returns the exit status: 0 when all went well,
// 1 for a missing argument, 2 when anything failed. When `*interrupted`
// turns nonzero the sweep stops after the file at hand, and the total is
// printed for what was done (status 2).
int ZapextMain(FileSystem* fs, int argc, char** argv, FILE* out,
               const volatile sig_atomic_t* interrupted = nullptr);

#endif  // ZAPEXT_CLI_ZAPEXT_H_
