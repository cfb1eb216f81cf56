// Windows: the console's events, caught with a console control handler.
// The C runtime's signal() would not do: it sets SIGINT back to its default
// before calling the handler, so a second Ctrl-C ends the process with
// lines owed, and it never sees the window closed, logoff or shutdown.
#include <windows.h>

#include "platform/interrupt.h"

namespace {

std::atomic<int> interrupted{0};

// Runs on a thread of its own that the system starts for each event. Ctrl-C
// is never delivered to a process started with it ignored, so that stays so.
BOOL WINAPI Interrupt(DWORD event) {
  interrupted.store(static_cast<int>(event) + 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The window closed, logoff, shutdown: the process ends when this returns
  // (or when the system's time for it runs out), so this waits for the
  // sweep to write its lines and end the process itself.
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

const std::atomic<int>* CatchInterruptions() {
  SetConsoleCtrlHandler(Interrupt, TRUE);
  return &interrupted;
}

void EndAsInterrupted(int) {
  // As the system's own handler ends a console program on any of them.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}
