#include "platform/cstring.h"

// Only ASCII letters fold; every other byte stays as it is, so UTF-8 and any
// other encoding in a name is compared unchanged.
void CString::MakeUpper() {
  for (char& c : text_) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}
