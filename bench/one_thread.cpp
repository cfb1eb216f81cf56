// The single-threaded sweep as a contender: the tool's own sources, with the
// sweep removing each file itself.
#include "cli/zapext.h"

int main(int argc, char** argv) { return RunZapext(argc, argv, 0); }
