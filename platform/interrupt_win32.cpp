#include <signal.h>

#include <initializer_list>

#include "platform/interrupt.h"

namespace {

std::atomic<int> interrupted{0};

extern "C" void Interrupt(int signal_number) { interrupted.store(signal_number); }

}  // namespace

const std::atomic<int>* CatchInterruptions() {
  for (int signal_number : {SIGINT, SIGTERM, SIGBREAK}) {
    if (signal(signal_number, Interrupt) == SIG_IGN) signal(signal_number, SIG_IGN);
  }
  return &interrupted;
}

void EndAsInterrupted(int signal_number) {
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}
