#include <windows.h>

#include "platform/thread.h"
#include "platform/thread_win32.h"

Mutex::Mutex() : native_(new SRWLOCK) { InitializeSRWLock(static_cast<SRWLOCK*>(native_)); }
Mutex::~Mutex() { delete static_cast<SRWLOCK*>(native_); }
void Mutex::Lock() { AcquireSRWLockExclusive(static_cast<SRWLOCK*>(native_)); }
void Mutex::Unlock() { ReleaseSRWLockExclusive(static_cast<SRWLOCK*>(native_)); }

Condition::Condition() : native_(new CONDITION_VARIABLE) {
  InitializeConditionVariable(static_cast<CONDITION_VARIABLE*>(native_));
}
Condition::~Condition() { delete static_cast<CONDITION_VARIABLE*>(native_); }
void Condition::Wait(Mutex* mutex) {
  SleepConditionVariableSRW(static_cast<CONDITION_VARIABLE*>(native_),
                            static_cast<SRWLOCK*>(mutex->native_), INFINITE, 0);
}
void Condition::WakeOne() { WakeConditionVariable(static_cast<CONDITION_VARIABLE*>(native_)); }
void Condition::WakeAll() { WakeAllConditionVariable(static_cast<CONDITION_VARIABLE*>(native_)); }

void SeeTheFileSystemAsItIs() {
  // Looked up, not imported: a Windows without WOW64 may lack it, and the
  // program must start there all the same. The setting is per thread.
  typedef BOOL(WINAPI * Disable)(void**);
  static const Disable disable = reinterpret_cast<Disable>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Wow64DisableWow64FsRedirection")));
  void* previous;
  if (disable) disable(&previous);
}

namespace {

struct Start {
  void (*body)(void*);
  void* argument;
};

DWORD WINAPI Run(void* start) {
  Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  SeeTheFileSystemAsItIs();
  s.body(s.argument);
  return 0;
}

}  // namespace

bool Thread::Start(size_t stack_size, void (*body)(void*), void* argument) {
  auto* start = new ::Start{body, argument};
  HANDLE thread = CreateThread(nullptr, stack_size, Run, start,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) {
    delete start;
    return false;
  }
  native_ = thread;
  return true;
}

void Thread::Join() {
  if (!native_) return;
  WaitForSingleObject(static_cast<HANDLE>(native_), INFINITE);
  CloseHandle(static_cast<HANDLE>(native_));
  native_ = nullptr;
}

void GiveWay() { SwitchToThread(); }

// GetThreadTimes counts in the scheduler's ticks, some 15 ms: too coarse
// to tell a thread that waits from one that works.
bool TimeThread(ThreadTime*, bool) { return false; }

// Windows' heap is shared by every thread already.
void SetUpHeaps() {}

int CurrentProcessor() { return -1; }  // not told: no thread is moved
void LeaveProcessor() {}
unsigned OthersRunning(bool) { return 0; }  // not told: every processor counts as free

unsigned ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}
