#include "sweep/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <new>

namespace {

// Workers read listings and remove files; their stacks need little.
const size_t kWorkerStack = 256 << 10;

// How often a thread waiting looks again before it sleeps.
const int kLooksBeforeSleep = 64;

}  // namespace

WorkerPool::WorkerPool(unsigned workers, Jobs* jobs) : jobs_(jobs) {
  // The sweep has a processor of its own, and reads ahead too while it
  // waits for a worker: the workers start with the others.
  processors_ = ProcessorCount();
  least_active_ = processors_ > 1 ? processors_ - 1 : 1;
  parts_ = processors_ > 1;
  active_ = std::min(least_active_, workers);
  try {
    threads_.reserve(workers);
    most_workers_ = workers;
  } catch (const std::bad_alloc&) {
    // None, and the sweep works alone.
  }
  // Where the system cannot time a thread, all of them work from the start,
  // as if they waited.
  ThreadTime unused;
  if (!TimeThread(&unused, false)) WorkAsWaiting();
  // Each starts when there is work for it: a tree with nothing to hand
  // over, one directory or a chain of them, costs no thread.
}

bool WorkerPool::StartWorker() {
  try {
    std::unique_ptr<Thread> thread(new Thread);
    if (!thread->Start(kWorkerStack, WorkerMain, this)) {
      most_workers_ = static_cast<unsigned>(threads_.size());
      return false;
    }
    threads_.push_back(std::move(thread));  // within what was reserved
    return true;
  } catch (const std::bad_alloc&) {
    // As many as memory allows.
    most_workers_ = static_cast<unsigned>(threads_.size());
    return false;
  }
}

WorkerPool::~WorkerPool() { Finish(); }

void WorkerPool::Finish() {
  {
    Locked locked(&mutex_);
    stopping_ = true;
    more_.WakeAll();
  }
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
}

void WorkerPool::WakeWorker(size_t waiting) {
  // Another worker only when the work waiting is more than the busy ones
  // will soon take: a wake-up is dear, one for nothing dearer.
  size_t busy = threads_.size() - idle_;
  if (waiting <= busy || busy >= active_) return;
  if (idle_ > 0)
    more_.WakeOne();
  else if (threads_.size() < most_workers_ && (!threads_.empty() || FirstWorkerDue()))
    StartWorker();
}

bool WorkerPool::SweepsAlone() const {
  // The clock is read only until a worker starts.
  return look_ && threads_.empty() &&
         ::SweepsAlone(false, blocked_, refused_, std::chrono::steady_clock::now() - looked_);
}

bool WorkerPool::FirstWorkerDue() {
  if (!look_ || blocked_) return true;
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  if (!LooksAgain(refused_, now - looked_)) return false;
  unsigned others = busy_ ? processors_ : OthersRunning(LooksAtStart(refused_, now - made_));
  if (StartsFirstWorker(others, processors_, blocked_)) return true;
  ++refused_;
  looked_ = now;
  return false;
}

void WorkerPool::ActAsWaiting() {
  Locked locked(&mutex_);
  WorkAsWaiting();
}

void WorkerPool::WorkAsWaiting() {
  blocked_ = true;
  active_ = most_workers_;
  adapts_ = false;
}

bool WorkerPool::Adapt(const Timing& timing) {
  if (!adapts_) return false;
  // A worker blocked longer than it works leaves a processor free: twice
  // as many keep more requests in flight, and all of them where it is
  // blocked most of the time. One that is hardly blocked shares the
  // processors with the others, and one fewer does as much.
  bool was_blocked = blocked_;
  unsigned was_active = active_;
  blocked_ = timing.blocked > timing.worked;
  if (blocked_ && active_ < most_workers_ && !stopping_) {
    unsigned wanted = timing.blocked > 4 * timing.worked ? most_workers_ : 2 * active_;
    wanted = std::min(wanted, most_workers_);
    while (threads_.size() < wanted && StartWorker()) {
    }
    active_ = std::min(wanted, static_cast<unsigned>(threads_.size()));
    more_.WakeAll();
  } else if (4 * timing.blocked < timing.worked && active_ > least_active_) {
    --active_;
  }
  return blocked_ != was_blocked || active_ != was_active;
}

bool WorkerPool::LookAgain(int* looks) {
  // What a thread waits for is most often a moment away: on these machines
  // a wake-up costs more than a few looks, giving way to whatever else runs.
  // Not where the workers wait for the file system: then it is a round
  // trip away, and the processor is better left to whatever serves it.
  if (*looks >= kLooksBeforeSleep || blocked_) {
    *looks = 0;
    return false;
  }
  ++*looks;
  mutex_.Unlock();
  GiveWay();
  mutex_.Lock();
  return true;
}

void WorkerPool::WaitForProgress(const Job* awaited) {
  if (LookAgain(&sweep_looks_)) return;
  sweep_waits_ = true;
  awaited_ = awaited;
  awaited_done_ = false;
  done_since_ = 0;
  ready_.Wait(&mutex_);
  sweep_waits_ = false;
}

void WorkerPool::Progress(const Job* done) {
  // Woken for nothing, the sweep would only sleep again: where the workers
  // wait for the file system, most of what they finish is not its next.
  if (!sweep_waits_) return;
  if (!awaited_) {
    ready_.WakeOne();
    return;
  }
  if (awaited_done_)
    ++done_since_;
  else
    awaited_done_ = awaited_ == done;
  WakeSweepWhenDue();
}

void WorkerPool::WakeSweepWhenDue() {
  if (sweep_waits_ && awaited_ &&
      WakesTheSweep(awaited_done_, blocked_, done_since_, active_, idle_, working_))
    ready_.WakeOne();
}

void WorkerPool::MoveOffSweep() {
  // Linux puts a thread it wakes beside its waker at times, and may take
  // milliseconds to part two threads that take turns on one processor while
  // another idles. All wait for the sweep, which writes every line in its
  // order: a worker that finds itself on its processor leaves it. Not where
  // the file system keeps the workers waiting: then there are more of them
  // than processors.
  if (!parts_ || blocked_lately()) return;
  int here = CurrentProcessor();
  if (here >= 0 && here == sweep_on_.load(std::memory_order_relaxed)) LeaveProcessor();
}

void WorkerPool::WorkerMain(void* pool) { static_cast<WorkerPool*>(pool)->Loop(); }

void WorkerPool::Loop() {
  Locked locked(&mutex_);
  int looks = 0;
  Timing timing;
  for (;;) {
    Job* job = nullptr;
    if (!stopping_ && working_ < active_) job = jobs_->Take();
    if (job) {
      looks = 0;
      ++working_;
      // One worker times its jobs at a time: the workers run jobs of one
      // kind, and where a system call is dear (a virtual machine's kernel)
      // each timing all of them cost as many calls as a job again.
      bool times = adapts_ && (timing.open() || !timer_taken_);
      if (times) timer_taken_ = true;
      mutex_.Unlock();
      MoveOffSweep();
      if (times) timing.Start();
      jobs_->Run(job);
      bool timed = times && timing.End();
      mutex_.Lock();
      --working_;
      jobs_->Done(job);
      if (times && !timing.open()) timer_taken_ = false;
      if (timed) timing.Adapted(Adapt(timing));
      continue;
    }
    if (stopping_) return;
    timing.Pause();
    // One beyond those that may work at once has nothing to look for.
    if (working_ < active_ && LookAgain(&looks)) continue;
    // Asleep, it leaves the timing to another.
    if (timing.open()) {
      timing.Drop();
      timer_taken_ = false;
    }
    ++idle_;
    WakeSweepWhenDue();  // it lags no longer
    more_.Wait(&mutex_);
    --idle_;
  }
}
