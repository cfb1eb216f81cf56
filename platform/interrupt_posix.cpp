#include <signal.h>
#include <string.h>

#include <initializer_list>

#include "platform/interrupt.h"

namespace {

std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void Interrupt(int signal_number) { interrupted.store(signal_number); }

}  // namespace

const std::atomic<int>* CatchInterruptions() {
  struct sigaction catching;
  memset(&catching, 0, sizeof catching);
  catching.sa_handler = Interrupt;
  sigemptyset(&catching.sa_mask);
  catching.sa_flags = SA_RESTART;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // Looked at first, so that an ignored signal is never, even for a moment,
    // caught instead.
    struct sigaction inherited;
    if (sigaction(signal_number, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
      continue;
    sigaction(signal_number, &catching, nullptr);
  }
  return &interrupted;
}

void EndAsInterrupted(int signal_number) {
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}
