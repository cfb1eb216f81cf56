// The tool with a fixed number of removal threads, ZAPEXT_BENCH_WORKERS, set
// when it is built: the figures the default is chosen from.
#include "cli/zapext.h"

int main(int argc, char** argv) { return RunZapext(argc, argv, ZAPEXT_BENCH_WORKERS); }
