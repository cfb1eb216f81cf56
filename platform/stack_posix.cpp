// POSIX: the limit on open files is raised to its hard limit, and the body
// runs on a thread of its own whose stack is sized for that many levels,
// while the calling thread waits: the work stays sequential.
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/mman.h>
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

// Room for the C library and whatever runs below the deepest level (a
// listing reads into 32 KiB on the stack), on a stack of `size`.
size_t ReserveOf(size_t size) { return size / 4 < kReserve ? size / 4 : kReserve; }

// Holds no more directories open than a stack of `size` can take levels;
// deeper ones are reported as for any limit on open files.
void HoldNoMoreThanFit(size_t size, size_t bytes_per_level) {
  struct rlimit files;
  rlim_t fit = (size - ReserveOf(size)) / bytes_per_level;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && fit < files.rlim_cur) {
    files.rlim_cur = fit;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

// Whether the address space has room for a stack of `size` and as much
// again beside it: the levels it holds need about as much of the heap.
bool RoomBeside(size_t size) {
  if (size > SIZE_MAX / 2) return false;
#ifdef MAP_ANONYMOUS
  // Inaccessible, it is charged to nothing but the address space.
  void* room = mmap(nullptr, 2 * size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (room == MAP_FAILED) return false;
  munmap(room, 2 * size);
#endif  // else only whether the stack itself can be had tells
  return true;
}

// The smallest stack tried for the sweep's thread: a few hundred levels.
const size_t kSmallestStack = 256 << 10;

}  // namespace

int RunWithStackForDepth(size_t bytes_per_level, int (*body)(void*), void* argument) {
  rlim_t levels = RaiseOpenFileLimit();
  if (levels > 0) GrowDescriptorTable(levels);
  Call call = {body, argument, 0};
  pthread_t thread;
  size_t whole = levels > 0 && levels <= (SIZE_MAX - kReserve) / bytes_per_level
                     ? kReserve + levels * bytes_per_level
                     : 0;
  // Where the address space has no room for that many levels (a limit on
  // it), the largest stack that can be had, and no more levels than it
  // holds. A thread's stack is mapped whole as it starts: it cannot fail to
  // grow later, as the main thread's can.
  for (size_t size = whole; size >= kSmallestStack; size /= 2) {
    if (!RoomBeside(size)) continue;
    if (size < whole) HoldNoMoreThanFit(size, bytes_per_level);
    if (!StartThread(size, &call, &thread)) continue;
    pthread_join(thread, nullptr);
    return call.result;
  }
  // No thread to be had: this thread's stack, whatever its size.
  struct rlimit stack;
  if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY)
    HoldNoMoreThanFit(stack.rlim_cur, bytes_per_level);
  return body(argument);
}
