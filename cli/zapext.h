// The command line front end, apart from the process entry so tests can run
// it against any file system.
#ifndef ZAPEXT_CLI_ZAPEXT_H_
#define ZAPEXT_CLI_ZAPEXT_H_

#include <stdio.h>

#include "platform/file_system.h"

// Runs the tool for the command line `argv` in the current directory of
// `fs`, printing to `out`. Returns the exit status: 0 when all went well,
// 1 for a missing argument, 2 when anything failed.
int ZapextMain(FileSystem* fs, int argc, char** argv, FILE* out);

#endif  // ZAPEXT_CLI_ZAPEXT_H_
