// What every thread of the Windows build does before it touches a file:
// thread_win32.cpp's threads and the sweep's own (stack_win32.cpp).
#ifndef ZAPEXT_PLATFORM_THREAD_WIN32_H_
#define ZAPEXT_PLATFORM_THREAD_WIN32_H_

// Turns off WOW64's file-system redirection for the calling thread: a
// 32-bit program on 64-bit Windows would otherwise reach SysWOW64 through
// every path and handle that names System32, and sweep another tree than
// the one it prints. Nothing where there is no WOW64.
void SeeTheFileSystemAsItIs();

#endif  // ZAPEXT_PLATFORM_THREAD_WIN32_H_
