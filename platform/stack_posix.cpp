// POSIX: the limit on open files is raised to its hard limit, and the body
// runs on a thread of its own whose stack is sized for that many levels,
// while the calling thread waits: the work stays sequential.
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/stack.h"

namespace {

// Room for the C library and whatever runs below the deepest level.
const size_t kReserve = 1 << 20;

struct Call {
  int (*body)(void*);
  void* argument;
  int result;
};

void* RunCall(void* call) {
  Call* c = static_cast<Call*>(call);
  c->result = c->body(c->argument);
  return nullptr;
}

// The most directories this process may hold open, once raised as far as allowed.
rlim_t RaiseOpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = soft;
  }
  return limit.rlim_cur;
}

// Once a second thread shares the table of open descriptors, the kernel
// waits for an RCU grace period (some 10 ms) each time the table grows, at
// 256, 512, 1024... descriptors: a deep sweep would spend that asleep.
// Grown here, while this thread is alone, the table costs no wait. Deeper
// trees than this still sweep whole, with a wait at each further growth.
#ifdef __linux__
void GrowDescriptorTable(rlim_t levels) {
  const rlim_t kGrownTo = 4096;
  int probe = open("/", O_RDONLY | O_CLOEXEC);
  if (probe < 0) return;
  int top = static_cast<int>(levels < kGrownTo ? levels : kGrownTo) - 1;
  int high = fcntl(probe, F_DUPFD_CLOEXEC, top);
  if (high >= 0) close(high);
  close(probe);
}
#else
void GrowDescriptorTable(rlim_t) {}  // the wait is Linux's
#endif

bool StartThread(size_t stack_size, Call* call, pthread_t* thread) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = pthread_attr_setstacksize(&attributes, stack_size) == 0 &&
                 pthread_create(thread, &attributes, RunCall, call) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace

int RunWithStackForDepth(size_t bytes_per_level, int (*body)(void*), void* argument) {
  rlim_t levels = RaiseOpenFileLimit();
  if (levels > 0) GrowDescriptorTable(levels);
  Call call = {body, argument, 0};
  pthread_t thread;
  if (levels > 0 && levels <= (SIZE_MAX - kReserve) / bytes_per_level &&
      StartThread(kReserve + levels * bytes_per_level, &call, &thread)) {
    pthread_join(thread, nullptr);
    return call.result;
  }
  // No such stack to be had: hold no more directories open than the stack
  // this thread has can take, whatever its size; deeper ones are reported
  // as for any limit on open files.
  struct rlimit stack, files;
  if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY &&
      getrlimit(RLIMIT_NOFILE, &files) == 0) {
    rlim_t reserve = stack.rlim_cur / 4 < kReserve ? stack.rlim_cur / 4 : kReserve;
    rlim_t fit = (stack.rlim_cur - reserve) / bytes_per_level;
    if (fit < files.rlim_cur) {
      files.rlim_cur = fit;
      setrlimit(RLIMIT_NOFILE, &files);
    }
  }
  return body(argument);
}
