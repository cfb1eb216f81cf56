// The stack the sweep runs on. The sweep calls itself once per level of the
// tree and holds one open directory per level, so the platform's limit on
// open files bounds how deep it can go; its stack must hold that many levels.
#ifndef ZAPEXT_PLATFORM_STACK_H_
#define ZAPEXT_PLATFORM_STACK_H_

#include <stddef.h>

// Runs `body(argument)` to its end and returns its result, on a stack with
// `bytes_per_level` for every directory the process may hold open at once.
// Where the platform limits open files per process, first raises that
// limit as far as the process may.
int RunWithStackForDepth(size_t bytes_per_level, int (*body)(void*), void* argument);

#endif  // ZAPEXT_PLATFORM_STACK_H_
