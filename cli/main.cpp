// The process entry.
#include <stdio.h>

#include "cli/zapext.h"
#include "platform/terminal.h"

#ifdef _WIN32
// Hand "*.bak" to the tool as typed; the runtime would expand it otherwise.
int _dowildcard = 0;
#endif

int main(int argc, char** argv) {
  // Into a file or a pipe the lines go out in large blocks. A terminal keeps
  // the runtime's own buffering (line by line), so a person sees each file
  // as it goes.
  static char buffer[64 * 1024];
  if (!IsTerminal(stdout)) setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  return ZapextMain(RealFileSystem(), argc, argv, stdout);
}
