#include "sweep/removal_queue.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "sweep/read_ahead.h"

namespace {

// Workers read listings and remove files; their stacks need little.
const size_t kWorkerStack = 256 << 10;

// How often a thread waiting looks again before it sleeps.
const int kLooksBeforeSleep = 64;

// A worker times the pieces of work it does back to back, a millisecond's
// worth or this many, to tell whether it is blocked or works. While that
// changes nothing, its windows grow, to this many times as long: timing a
// thread costs system calls, and a worker blocked on the file system would
// otherwise pay them at nearly every piece.
const int kTimedPieces = 32;
const std::chrono::microseconds kTimedSpan(1000);
const int kLongestWindow = 8;

}  // namespace

// Pieces of work a worker did, and how long they took: on the clock, and on
// the processor. A window of them stays open across the waits between
// pieces, so the thread is timed twice a window, not twice a wait: reading
// its times costs system calls. What it spends looking for work between
// pieces counts as work, which only leans towards fewer workers.
struct RemovalQueue::Timing {
  int pieces = 0;  // in the window open; none is open at 0
  bool timed = false;
  // Whether this window tells the time spent waiting for a processor: only
  // after one where the worker looked blocked, as reading it costs most.
  bool with_ready = true;
  ThreadTime start;
  std::chrono::steady_clock::duration in_pieces{};
  std::chrono::steady_clock::time_point piece;
  double worked = 0, blocked = 0;
  int length = 1;  // of the window, in kTimedSpan and kTimedPieces

  // After a window timed: whether it changed how many work.
  void Adapted(bool changed) { length = changed ? 1 : std::min(2 * length, kLongestWindow); }

  void Start() {
    if (pieces == 0) {
      timed = TimeThread(&start, with_ready);
      in_pieces = {};
    }
    piece = std::chrono::steady_clock::now();
  }
  // True when another window has been timed; `closes` ends it with this piece.
  bool End(bool closes = false) {
    in_pieces += std::chrono::steady_clock::now() - piece;
    if (++pieces < length * kTimedPieces && in_pieces < length * kTimedSpan && !closes)
      return false;
    pieces = 0;
    ThreadTime now;
    bool told = with_ready;
    if (!timed || !TimeThread(&now, told)) return false;
    worked = now.working - start.working;
    // At most this long blocked: some of it may have been waiting for a
    // processor, which the next window tells, if it matters.
    double not_working = std::chrono::duration<double>(in_pieces).count() - worked;
    with_ready = not_working > worked;
    if (!told && with_ready) return false;
    blocked = not_working - (now.ready - start.ready);
    return true;
  }
};

RemovalQueue::RemovalQueue(unsigned workers, ReadAhead* ahead) : ahead_(ahead) {
  budget_.max_bytes = kMaxWaitingBytes;
  budget_.max_handles = kMaxAheadDirectories;
  ThreadTime unused;
  bool adapts = TimeThread(&unused, false);
  // The sweep has a processor of its own, and reads ahead too while it
  // waits for a worker: the workers start with the others.
  unsigned processors = ProcessorCount();
  least_active_ = processors > 1 ? processors - 1 : 1;
  // Where the system cannot time a thread, all of them work from the start,
  // as if they waited.
  active_ = adapts && least_active_ < workers ? least_active_ : workers;
  blocked_ = !adapts;
  try {
    threads_.reserve(workers);
    most_workers_ = workers;
  } catch (const std::bad_alloc&) {
    // None, and the sweep works alone.
  }
  // Each starts when there is work for it: a tree with nothing to hand
  // over, one directory or a chain of them, costs no thread.
}

bool RemovalQueue::StartWorker() {
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

RemovalQueue::~RemovalQueue() { Finish(); }

void RemovalQueue::Finish() {
  {
    Locked locked(&mutex_);
    stopping_ = true;
    work_.WakeAll();
  }
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
}

void RemovalQueue::WakeWorker(size_t waiting) {
  // Another worker only when the work waiting is more than the busy ones
  // will soon take: a wake-up is dear, one for nothing dearer.
  size_t busy = threads_.size() - idle_;
  if (waiting <= busy || busy >= active_) return;
  if (idle_ > 0)
    work_.WakeOne();
  else if (threads_.size() < most_workers_)
    StartWorker();
}

bool RemovalQueue::Adapt(const Timing& timing) {
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
    work_.WakeAll();
  } else if (4 * timing.blocked < timing.worked && active_ > least_active_) {
    --active_;
  }
  return blocked_ != was_blocked || active_ != was_active;
}

void RemovalQueue::RunTimed(Directory* dir, const CString* path) {
  Timing timing;
  timing.Start();
  ahead_->Run(dir, path, true);
  bool timed = timing.End(true);
  Locked locked(&mutex_);
  if (timed) Adapt(timing);
}

bool RemovalQueue::LookAgain(int* looks) {
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

void RemovalQueue::WaitForProgress(const Directory* awaited) {
  if (LookAgain(&sweep_looks_)) return;
  sweep_waits_ = true;
  awaited_ = awaited;
  ready_.Wait(&mutex_);
  sweep_waits_ = false;
}

void RemovalQueue::Progress(const Directory* done) {
  // Woken for nothing, the sweep would only sleep again: where the workers
  // wait for the file system, most of what they finish is not its next.
  if (sweep_waits_ && (!awaited_ || awaited_ == done)) ready_.WakeOne();
}

void RemovalQueue::WorkerMain(void* queue) { static_cast<RemovalQueue*>(queue)->Work(); }

void RemovalQueue::Work() {
  Locked locked(&mutex_);
  int looks = 0;
  Timing timing;
  for (;;) {
    Directory* dir = nullptr;
    if (!stopping_ && working_ < active_) dir = ahead_->Take();
    if (dir) {
      looks = 0;
      ++working_;
      mutex_.Unlock();
      timing.Start();
      ahead_->Run(dir, nullptr, false);
      bool timed = timing.End();
      mutex_.Lock();
      --working_;
      ahead_->Done(dir, true);
      if (timed) timing.Adapted(Adapt(timing));
      continue;
    }
    if (stopping_) return;
    // One beyond those that may work at once has nothing to look for.
    if (working_ < active_ && LookAgain(&looks)) continue;
    ++idle_;
    work_.Wait(&mutex_);
    --idle_;
  }
}
