// Whether a stream reaches a person, and how the tool's text reaches one:
// each platform in its own file (terminal_posix.cpp, terminal_win32.cpp).
#ifndef ZAPEXT_PLATFORM_TERMINAL_H_
#define ZAPEXT_PLATFORM_TERMINAL_H_

#include <stdio.h>

// True when `stream` writes to a terminal (a console on Windows).
bool IsTerminal(FILE* stream);

// From now on, where `stream` writes to a terminal that would show the
// tool's text otherwise than it is, has it shown as it is. Windows: a
// console reads bytes in its OEM code page, the names are in the ANSI one
// ("e-acute" would show as "U-acute"); the lines go to it in UTF-16 instead,
// each as soon as it is written. Into a file or a pipe the bytes stay.
void ShowTextAsItIs(FILE* stream);

// Returns once what was written to `stream` is the terminal's: no end of the
// process, not even a kill, can take it back then. POSIX: once written out
// of the process. A Windows console: once the thread that shows it has handed
// it to the console. For one thread at a time.
void ShowWritten(FILE* stream);

// Writes out all that `stream` holds, wherever it goes: the last thing
// before the process ends. False when some of it could not be written.
bool FlushToTheEnd(FILE* stream);

#endif  // ZAPEXT_PLATFORM_TERMINAL_H_
