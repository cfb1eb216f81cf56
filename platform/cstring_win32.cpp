#include <windows.h>

#include <string>

#include "platform/code_page_win32.h"
#include "platform/cstring.h"

// Letters fold as the active ANSI code page folds them, one character at a
// time, so the trail bytes of a double-byte character are never mistaken
// for letters. Not through user32 (CharUpperBuffA): with user32 loaded,
// Windows never tells a console program of logoff or shutdown. The case
// table is the system's, as file names fold, never a language's (Turkish i).
void CString::MakeUpper() {
  size_t ascii = 0;
  while (ascii < text_.size() && static_cast<unsigned char>(text_[ascii]) < 0x80) ++ascii;
  if (ascii == text_.size()) {  // no lead byte, so no trail byte: plain ASCII
    for (char& c : text_) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return;
  }
  int size = static_cast<int>(text_.size());
  int units = MultiByteToWideChar(CP_ACP, 0, text_.data(), size, nullptr, 0);
  if (units <= 0) return;
  std::wstring wide(units, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text_.data(), size, &wide[0], units);
  std::string was;
  std::string upper;
  size_t at = 0;  // where the character at `unit` starts in text_
  for (int unit = 0; unit < units;) {
    int count = CharacterUnits(&wide[unit], units - unit);
    // Bytes that are no character of the code page: where the rest stands
    // is not known, so it stays as it is.
    if (!ConvertExactly(&wide[unit], count, &was) || text_.compare(at, was.size(), was) != 0)
      return;
    // An upper case the code page cannot hold, or holds in another number
    // of bytes, leaves the character as it is.
    wchar_t folded[2];
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &wide[unit], count, folded, 2) == count &&
        ConvertExactly(folded, count, &upper) && upper.size() == was.size())
      text_.replace(at, was.size(), upper);
    at += was.size();
    unit += count;
  }
}
