// Interruptions the tool stops for in good order instead of dying where it
// stands; each platform in its own file (interrupt_posix.cpp,
// interrupt_win32.cpp).
#ifndef ZAPEXT_PLATFORM_INTERRUPT_H_
#define ZAPEXT_PLATFORM_INTERRUPT_H_

#include <atomic>

// From now on an interruption (SIGINT, SIGTERM, SIGHUP; on Windows the
// console's Ctrl-C, Ctrl-Break, window closed, logoff and shutdown) sets
// the flag returned to its signal's number (the console event's, plus one)
// instead of ending the process. One the process was started with ignored
// stays ignored.
const std::atomic<int>* CatchInterruptions();

// Ends the process as the signal `signal_number` would have (on Windows,
// with the status the system gives an interrupted console program).
void EndAsInterrupted(int signal_number);

#endif  // ZAPEXT_PLATFORM_INTERRUPT_H_
