// Whether a stream reaches a person: each platform tells in its own file
// (terminal_posix.cpp, terminal_win32.cpp).
#ifndef ZAPEXT_PLATFORM_TERMINAL_H_
#define ZAPEXT_PLATFORM_TERMINAL_H_

#include <stdio.h>

// True when `stream` writes to a terminal (a console on Windows).
bool IsTerminal(FILE* stream);

#endif  // ZAPEXT_PLATFORM_TERMINAL_H_
