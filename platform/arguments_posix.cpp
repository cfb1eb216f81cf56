#include "platform/arguments.h"

// The words are bytes, and the tool's text is bytes.
int ArgumentText(char** argv, int index, CString* text) {
  *text = CString(argv[index]);
  return 0;
}

bool AsksForHelp(const CString&) { return false; }
