// Windows: the runtime makes argv from the ANSI command line, with best
// fit: "b\u0101k" arrives as "bak", full-width letters as plain ones. The
// words are taken from the wide command line instead, parsed by the same
// runtime with the same rules.
#include <windows.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "platform/arguments.h"
#include "platform/code_page_win32.h"

// Hand "*.bak" to the tool as typed; the runtime would expand it otherwise.
int _dowildcard = 0;

namespace {

struct StartupInfo {
  int new_mode;
};

}  // namespace

// msvcrt's wide twin of the parse that made argv.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expand_wildcards, StartupInfo* info);

int ArgumentText(char** argv, int index, CString* text) {
  int argc = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo info = {0};
  int parsed = __wgetmainargs(&argc, &wide, &environment, 0, &info);
  if (parsed != 0 || index >= argc) {
    // No wide word: the runtime ran out of memory, or its parse found fewer
    // words than argv's, best fit having made a quote of a character the
    // code page lacks. argv's word may be a look-alike, so it is refused.
    *text = CString(argv[index]);
    return parsed != 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_NO_UNICODE_TRANSLATION;
  }
  std::string exact;
  int length = static_cast<int>(wcslen(wide[index]));
  bool held = ConvertExactly(wide[index], length, &exact);
  if (!held) AnsiText(wide[index], length, &exact);
  *text = CString(exact.data(), exact.size());
  if (!held) return ERROR_NO_UNICODE_TRANSLATION;
  // No name holds '?': in a name shown it stands for a character the code
  // page cannot hold, and could match only names the tool cannot reach.
  return wcschr(wide[index], L'?') ? ERROR_INVALID_NAME : 0;
}

bool AsksForHelp(const CString& word) { return strcmp(word, "/?") == 0; }
