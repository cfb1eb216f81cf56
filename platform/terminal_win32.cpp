#include "platform/terminal.h"

#include <io.h>

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }
