// The process entry.
#include "cli/zapext.h"

int main(int argc, char** argv) { return RunZapext(argc, argv, DefaultWorkers()); }
