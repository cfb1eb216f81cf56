#include "platform/terminal.h"

#include <unistd.h>

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

// A terminal shows the bytes as the locale reads them, as it shows names.
void ShowTextAsItIs(FILE*) {}

// The terminal holds what is written to it, whoever reads it and when.
void ShowWritten(FILE* stream) { fflush(stream); }

bool FlushToTheEnd(FILE* stream) { return fflush(stream) == 0; }
