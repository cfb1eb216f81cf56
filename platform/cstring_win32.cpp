#include <windows.h>

#include "platform/cstring.h"

// Letters fold as the active ANSI code page folds them, so the trail bytes
// of a double-byte character are never mistaken for letters.
void CString::MakeUpper() {
  if (!text_.empty()) CharUpperBuffA(&text_[0], static_cast<DWORD>(text_.size()));
}
