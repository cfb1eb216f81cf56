// Windows: paths in the ANSI functions end at MAX_PATH, which bounds a tree
// to about a hundred levels; the main thread's stack holds them.
#include "platform/stack.h"
#include "platform/thread_win32.h"

int RunWithStackForDepth(size_t, int (*body)(void*), void* argument) {
  // The sweep's thread reads the current directory and opens the tree.
  SeeTheFileSystemAsItIs();
  return body(argument);
}
