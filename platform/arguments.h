// The command line's words as the tool compares them with names; each
// platform in its own file (arguments_posix.cpp, arguments_win32.cpp).
#ifndef ZAPEXT_PLATFORM_ARGUMENTS_H_
#define ZAPEXT_PLATFORM_ARGUMENTS_H_

#include "platform/cstring.h"

// Fills `text` with the word `index` (below argc) of the process's command
// line `argv`, exactly as typed. Returns 0, or the platform's error code
// when the tool's text cannot hold it exactly: on Windows, a character of
// the wide command line that the ANSI code page lacks (the runtime's argv
// would hold a look-alike, best fit's choice); `text` then shows it as '?'.
// On Windows also when the wide command line cannot be had (out of memory),
// and for a '?', which no name holds (ERROR_INVALID_NAME).
int ArgumentText(char** argv, int index, CString* text);

// Whether `word`, the command line's first word, is the platform's own way
// of asking a program for help, besides --help and -h: "/?" on Windows. On
// POSIX none: "/?" there is an extension like any other word.
bool AsksForHelp(const CString& word);

#endif  // ZAPEXT_PLATFORM_ARGUMENTS_H_
