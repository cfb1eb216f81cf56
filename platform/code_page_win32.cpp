#include "platform/code_page_win32.h"

#include <windows.h>

bool ConvertExactly(const wchar_t* wide, int length, std::string* text) {
  text->clear();
  if (length == 0) return true;  // the functions below take 0 for a failure
  // A UTF-8 code page takes neither the best-fit flag nor a default character.
  bool utf8 = GetACP() == CP_UTF8;
  BOOL defaulted = FALSE;
  text->resize(3 * length + 1);
  int size = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, length,
                                 &(*text)[0], static_cast<int>(text->size()),
                                 utf8 ? nullptr : "?", utf8 ? nullptr : &defaulted);
  text->resize(size > 0 ? size : 0);
  if (size <= 0 || defaulted) return false;
  std::wstring back(length, L'\0');
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text->data(), size, &back[0],
                             length) == length &&
         back.compare(0, length, wide, length) == 0;
}

void AnsiText(const wchar_t* wide, int length, std::string* text) {
  int ascii = 0;
  while (ascii < length && wide[ascii] < 0x80) ++ascii;
  if (ascii == length) {  // every ANSI code page holds ASCII as it is
    text->assign(wide, wide + length);
    return;
  }
  if (ConvertExactly(wide, length, text)) return;
  text->clear();
  std::string one;
  for (int at = 0; at < length;) {
    int units = CharacterUnits(wide + at, length - at);
    if (ConvertExactly(wide + at, units, &one)) {
      *text += one;
    } else {
      *text += '?';
    }
    at += units;
  }
}

int CharacterUnits(const wchar_t* wide, int length) {
  return length > 1 && IS_HIGH_SURROGATE(wide[0]) && IS_LOW_SURROGATE(wide[1]) ? 2 : 1;
}

int WideLength(const char* text, int length) {
  return length > 0 ? MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0) : 0;
}
