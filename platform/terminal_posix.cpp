#include "platform/terminal.h"

#include <unistd.h>

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

// A terminal shows the bytes as the locale reads them, as it shows names.
void ShowTextAsItIs(FILE*) {}

bool FlushToTheEnd(FILE* stream) { return fflush(stream) == 0; }
