#ifdef __linux__  // elsewhere malloc.h may be missing, or an error to include
#include <malloc.h>
#endif
#include <fcntl.h>
#include <stdio.h>
#include <pthread.h>
#include <sched.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "platform/thread.h"

Mutex::Mutex() : native_(new pthread_mutex_t) {
  pthread_mutexattr_t kind;
  pthread_mutexattr_init(&kind);
// glibc's adaptive kind is an enumerator; this macro comes with it.
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
  // It is held for moments: a thread that finds it taken spins a little
  // before it sleeps, as a sleep and a wake-up cost far more.
  pthread_mutexattr_settype(&kind, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
  pthread_mutex_init(static_cast<pthread_mutex_t*>(native_), &kind);
  pthread_mutexattr_destroy(&kind);
}
Mutex::~Mutex() {
  pthread_mutex_destroy(static_cast<pthread_mutex_t*>(native_));
  delete static_cast<pthread_mutex_t*>(native_);
}
void Mutex::Lock() { pthread_mutex_lock(static_cast<pthread_mutex_t*>(native_)); }
void Mutex::Unlock() { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(native_)); }

Condition::Condition() : native_(new pthread_cond_t) {
  pthread_cond_init(static_cast<pthread_cond_t*>(native_), nullptr);
}
Condition::~Condition() {
  pthread_cond_destroy(static_cast<pthread_cond_t*>(native_));
  delete static_cast<pthread_cond_t*>(native_);
}
void Condition::Wait(Mutex* mutex) {
  pthread_cond_wait(static_cast<pthread_cond_t*>(native_),
                    static_cast<pthread_mutex_t*>(mutex->native_));
}
void Condition::WakeOne() { pthread_cond_signal(static_cast<pthread_cond_t*>(native_)); }
void Condition::WakeAll() { pthread_cond_broadcast(static_cast<pthread_cond_t*>(native_)); }

namespace {

// glibc's, where its extensions are on: where a thread starts.
#if defined(__GLIBC__) && defined(CPU_COUNT)
#define STARTS_AWAY 1
#endif

struct Start {
  void (*body)(void*);
  void* argument;
#ifdef STARTS_AWAY
  bool away = false;  // started off the starter's processor
  cpu_set_t allowed;  // the processors it may run on
#endif
};

void* Run(void* start) {
  Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
#ifdef STARTS_AWAY
  // Where it runs now, it stays until the system moves it, as any thread.
  if (s.away) sched_setaffinity(0, sizeof s.allowed, &s.allowed);
#endif
  s.body(s.argument);
  return nullptr;
}

#ifdef STARTS_AWAY
// The processors the calling thread may run on, and of them all but the one
// it runs on now; false where there are no others, or the system does not
// tell.
bool Elsewhere(cpu_set_t* allowed, cpu_set_t* elsewhere) {
  int here = sched_getcpu();
  if (here < 0 || sched_getaffinity(0, sizeof *allowed, allowed) != 0) return false;
  *elsewhere = *allowed;
  CPU_CLR(here, elsewhere);
  return CPU_COUNT(elsewhere) > 0;
}
#endif

// Whether the thread that `attributes` start begins on another processor
// than the calling one. Linux puts a new thread on its starter's processor,
// where it waits its turn while the starter works on, and may take tens of
// milliseconds to move one of them to a processor that idles meanwhile.
bool StartAway(pthread_attr_t* attributes, Start* start) {
#ifdef STARTS_AWAY
  cpu_set_t elsewhere;
  return Elsewhere(&start->allowed, &elsewhere) &&
         pthread_attr_setaffinity_np(attributes, sizeof elsewhere, &elsewhere) == 0;
#else
  (void)attributes;
  (void)start;
  return false;
#endif
}

bool Create(pthread_t* thread, size_t stack_size, Start* start, bool away) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool created = pthread_attr_setstacksize(&attributes, stack_size) == 0 &&
                 (!away || StartAway(&attributes, start));
#ifdef STARTS_AWAY
  start->away = created && away;  // before the thread reads it
#endif
  created = created && pthread_create(thread, &attributes, Run, start) == 0;
  pthread_attr_destroy(&attributes);
  return created;
}

}  // namespace

bool Thread::Start(size_t stack_size, void (*body)(void*), void* argument) {
  // Allocated first: when memory runs out, nothing is left behind.
  std::unique_ptr<pthread_t> thread(new pthread_t);
  std::unique_ptr<::Start> start(new ::Start);
  start->body = body;
  start->argument = argument;
  // Away from here where it can; wherever the system puts it else (the
  // processors it was kept to may have been taken from the process).
  bool started = Create(thread.get(), stack_size, start.get(), true) ||
                 Create(thread.get(), stack_size, start.get(), false);
  if (!started) return false;
  start.release();  // the thread's now
  native_ = thread.release();
  return true;
}

void Thread::Join() {
  if (!native_) return;
  pthread_join(*static_cast<pthread_t*>(native_), nullptr);
  delete static_cast<pthread_t*>(native_);
  native_ = nullptr;
}

void GiveWay() { sched_yield(); }

int CurrentProcessor() {
#ifdef STARTS_AWAY
  return sched_getcpu();
#else
  return -1;
#endif
}

void LeaveProcessor() {
#ifdef STARTS_AWAY
  cpu_set_t allowed, elsewhere;
  // Moved at once; then free to go anywhere again, as any thread.
  if (Elsewhere(&allowed, &elsewhere) && sched_setaffinity(0, sizeof elsewhere, &elsewhere) == 0)
    sched_setaffinity(0, sizeof allowed, &allowed);
#endif
}

#ifdef __linux__
namespace {

// The text of a small file of /proc, or false.
bool ReadProc(const char* path, char* text, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t length = read(fd, text, size - 1);
  close(fd);
  if (length <= 0) return false;
  text[length] = '\0';
  return true;
}

// Running and ready threads of the whole system, this one among them; 0
// where not told.
unsigned RunningNow() {
  // The fourth field of /proc/loadavg: running and ready, out of all.
  char text[128];
  unsigned running;
  if (!ReadProc("/proc/loadavg", text, sizeof text)) return 0;
  if (sscanf(text, "%*s %*s %*s %u/", &running) != 1) return 0;
  return running;
}

// Sleeps a moment, long enough for this processor to choose what runs
// next meanwhile: Linux counts a thread that has gone to sleep running
// until its processor next chooses, which a busy one may not do for
// milliseconds. The timer's slack, 50 us by default, is cut for it.
void Nap() {
  int slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, 1UL);
  struct timespec moment = {0, 20 * 1000};
  nanosleep(&moment, nullptr);
  if (slack > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack));
}

}  // namespace
#endif

bool TimeThread(ThreadTime* time, bool with_ready) {
  (void)with_ready;  // told only on Linux
#if defined(CLOCK_THREAD_CPUTIME_ID) && defined(CLOCK_PROCESS_CPUTIME_ID)
  // A clock that moves in ticks tells a window of a millisecond as none of
  // its time or as ten times all of it: told once, at the first reading.
  static const bool kInTicks = [] {
    struct timespec thread, process;
    return clock_gettime(CLOCK_THREAD_CPUTIME_ID, &thread) != 0 ||
           clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &process) != 0 ||
           MovesInTicks(thread.tv_sec * 1000000000LL + thread.tv_nsec,
                        process.tv_sec * 1000000000LL + process.tv_nsec);
  }();
  if (kInTicks) return false;
  struct timespec used;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0) return false;
  time->working = used.tv_sec + used.tv_nsec / 1e9;
  time->ready = 0;
#ifdef __linux__
  // Linux tells how long the thread waited for a processor, up to the last
  // time it got one. (Its figure for the time on one lags by up to a tick.)
  char text[96];
  unsigned long long ready;
  if (with_ready && ReadProc("/proc/thread-self/schedstat", text, sizeof text) &&
      sscanf(text, "%*s %llu", &ready) == 1)
    time->ready = ready / 1e9;
#endif
  return true;
#else
  (void)time;
  return false;
#endif
}

void SetUpHeaps() {
  // glibc gives each thread that allocates a heap of its own, reserving 64
  // MiB of address space for it: under a limit on that, a few threads would
  // leave the sweep no room to allocate at all. There they share one heap;
  // elsewhere each keeps its own, and nobody waits for the allocator's lock.
#ifdef M_ARENA_MAX  // glibc's
  const int resources[] = {RLIMIT_AS, RLIMIT_DATA};
  for (int resource : resources) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) {
      mallopt(M_ARENA_MAX, 1);
      return;
    }
  }
#endif
}

unsigned OthersRunning(bool starting) {
#ifdef __linux__
  unsigned running = RunningNow();
  // The programs that started this one have just gone to sleep, waiting
  // for it: most often still counted, on this processor.
  if (starting && running > 1) {
    Nap();
    running = RunningNow();
  }
  return running > 0 ? running - 1 : 0;
#else
  (void)starting;
  return 0;
#endif
}

unsigned ProcessorCount() {
#ifdef CPU_COUNT  // the processors this process may run on, where the system tells
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}
