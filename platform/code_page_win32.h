// Text in the active ANSI code page, the tool's text on Windows, made from
// the system's UTF-16 without best fit: the Windows files of platform/ share
// these (names, paths, the argument, the console).
#ifndef ZAPEXT_PLATFORM_CODE_PAGE_WIN32_H_
#define ZAPEXT_PLATFORM_CODE_PAGE_WIN32_H_

#include <string>

// Converts `length` UTF-16 units to the ANSI code page without best fit.
// True when every character has a code of its own: none became the default
// character, and the text converts back to the very same units.
bool ConvertExactly(const wchar_t* wide, int length, std::string* text);

// The text of a name or path: each character the code page cannot hold
// exactly becomes '?', which no name the tool acts on may hold.
void AnsiText(const wchar_t* wide, int length, std::string* text);

// How many UTF-16 units the character that `wide` starts with takes, of
// the `length` there: 2 for a surrogate pair, else 1.
int CharacterUnits(const wchar_t* wide, int length);

// How many UTF-16 units `length` bytes of ANSI text make: the unit in which
// Windows counts a path against MAX_PATH.
int WideLength(const char* text, int length);

#endif  // ZAPEXT_PLATFORM_CODE_PAGE_WIN32_H_
