// The process entry.
#include "cli/zapext.h"

#ifdef _WIN32
// Hand "*.bak" to the tool as typed; the runtime would expand it otherwise.
int _dowildcard = 0;
#endif

int main(int argc, char** argv) { return RunZapext(argc, argv, DefaultWorkers()); }
