// Threads, a lock and a condition, each platform in its own file
// (thread_posix.cpp, thread_win32.cpp): the removal workers need no more.
#ifndef ZAPEXT_PLATFORM_THREAD_H_
#define ZAPEXT_PLATFORM_THREAD_H_

#include <stddef.h>

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();

 private:
  friend class Condition;
  void* native_;
};

class Locked {
 public:
  explicit Locked(Mutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~Locked() { mutex_->Unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Mutex* mutex_;
};

class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  // Releases `mutex`, which the caller holds, until woken; holds it again on return.
  void Wait(Mutex* mutex);
  void WakeOne();
  void WakeAll();

 private:
  void* native_;
};

// A thread running `body(argument)`, on a stack of `stack_size` bytes,
// started on another processor than the caller's where the system lets
// the program choose: the caller works on.
class Thread {
 public:
  Thread() = default;
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // False when the platform gives no thread: the caller does without.
  bool Start(size_t stack_size, void (*body)(void*), void* argument);
  void Join();

 private:
  void* native_ = nullptr;
};

// How the calling thread has spent its time so far, in seconds: working on
// a processor, and ready to work but waiting for one. The rest of its time
// it was blocked: in the system, or waiting for another thread.
struct ThreadTime {
  double working = 0;
  double ready = 0;
};
// False where the system cannot tell the work to a fraction of a
// millisecond. `ready` is told only when `with_ready` asks for it (it costs
// more), and where the system can tell it; else it stays 0.
bool TimeThread(ThreadTime* time, bool with_ready);
// Whether a clock that reads these times of a thread and of its process,
// in nanoseconds, moves only in whole ticks of a millisecond or more (a
// user-mode kernel's move by 10 ms): both whole milliseconds, which one
// that counts nanoseconds shows about once in a million million reads.
inline bool MovesInTicks(long long thread_ns, long long process_ns) {
  const long long kMillisecond = 1000 * 1000;
  return thread_ns % kMillisecond == 0 && process_ns % kMillisecond == 0;
}

// Has every thread of the process allocate from one heap where the address
// space is limited, each from its own elsewhere; called where the process
// is set up, before any thread starts.
void SetUpHeaps();

// Lets another thread that is ready run on this processor now, if any is.
void GiveWay();

// The processor the calling thread runs on now, -1 where not told.
int CurrentProcessor();
// Moves the calling thread to another of the processors it may run on, where
// there is one; from there it may go anywhere again.
void LeaveProcessor();

// How many processors this process may run on.
unsigned ProcessorCount();

// How many threads of the whole system, the caller's left out, are running
// or ready to run now; 0 where the system does not tell. `starting`: the
// process has only just started, and the programs that started it, waiting
// for it now, are not among them, though a system may still count them
// (Linux counts a thread that has just gone to sleep for up to a few ms):
// the count may cost a moment's sleep.
unsigned OthersRunning(bool starting);

#endif  // ZAPEXT_PLATFORM_THREAD_H_
