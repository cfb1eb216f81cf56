// The worker threads: how many work at once, and the lock and the waits
// they share with the sweep. What they do they know only through Jobs:
// they take a job, run it, and say it is done.
//
// Only the sweep waits: for a job it needs that a worker is running.
// Workers wait for nothing but work, so every wait ends.
#ifndef ZAPEXT_SWEEP_WORKER_POOL_H_
#define ZAPEXT_SWEEP_WORKER_POOL_H_

#include <stddef.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/thread.h"

// A piece of work, as the pool sees it: only who it is.
class Job {
 protected:
  ~Job() = default;
};

class Jobs {
 public:
  // With the pool's lock held: the job to run next, or null.
  virtual Job* Take() = 0;
  // Without the lock.
  virtual void Run(Job* job) = 0;
  // With the lock: `job` has run.
  virtual void Done(Job* job) = 0;

 protected:
  ~Jobs() = default;
};

// Whether the first worker starts, when there is work to hand it: only
// where a processor is free beside the sweep's (`others` threads of other
// programs run on `processors`), or where the file system keeps threads
// waiting (`blocked`: the sweep's own readings are timed until a worker
// starts), as a thread waiting needs no processor. A worker
// that only takes turns with the sweep on one processor costs, and wins
// nothing.
inline bool StartsFirstWorker(unsigned others, unsigned processors, bool blocked) {
  return blocked || others + 1 < processors;
}

// Whether the machine is looked at again for the first worker, `since` the
// last look, after `refused` looks that found no processor free. By the
// clock, not by the work handed over: a directory of many subdirectories
// hands over dozens at once, and what else ran then is most often a
// moment's work (the system writing back what the program before left
// it). Soon at first, then less often while no processor is free, so that
// a busy machine costs at most one look every 1.6 ms.
inline bool LooksAgain(unsigned refused, std::chrono::steady_clock::duration since) {
  const std::chrono::microseconds kFirstAgain{100};
  const unsigned kDoublings = 4;
  return refused == 0 || since >= kFirstAgain * (1u << std::min(refused - 1, kDoublings));
}

// Whether a look at the machine comes as the process starts: the first
// look, this soon after the pool was made, when the programs that started
// this one may still be counted running though they only wait for it.
inline bool LooksAtStart(unsigned refused, std::chrono::steady_clock::duration since_made) {
  return refused == 0 && since_made < std::chrono::milliseconds(2);
}

// Whether the sweep, no worker started, reads the directory it enters
// straight from its listing, as the single-threaded sweep does, rather than
// in blocks: where the file system keeps no thread waiting and the last look
// found no processor free, until it is time for another. Read in blocks,
// each directory's subdirectories wait in the queue for workers none will
// run: on a busy machine that took the sweep up to 70% more instructions
// than one thread takes, a few percent of its time, for nothing. The
// directory read in blocks once it is time to look again hands its
// subdirectories over, and that look comes as it does.
inline bool SweepsAlone(bool started, bool blocked, unsigned refused,
                        std::chrono::steady_clock::duration since) {
  return !started && !blocked && refused > 0 && !LooksAgain(refused, since);
}

// Whether the sweep, waiting for a job a worker runs, is woken, the job
// `done`: at once where the processors hold the workers back. Where the
// file system keeps them waiting, the sweep catches up with them at most
// directories, and each wake-up costs two system calls and two switches
// (a third of the processor, on a user-mode kernel's network share) for
// lines that can as well wait: it sleeps on until half as many more jobs as
// may run at once are done too (`done_since`), or a worker finds nothing to
// do, or none works: the sweep lags no more than that.
inline bool WakesTheSweep(bool done, bool blocked, unsigned done_since, unsigned active,
                          unsigned idle, unsigned working) {
  return done && (!blocked || done_since >= active / 2 || idle > 0 || working == 0);
}

class WorkerPool {
 public:
  // Up to `workers` threads, which take their jobs from `jobs`, started as
  // jobs come. Should none start, the sweep does every job itself.
  WorkerPool(unsigned workers, Jobs* jobs);

  // From now on the first worker starts only as StartsFirstWorker says,
  // the machine looked at again every so often while it says no.
  void StartOnlyBesideOthers() { look_ = true; }
  // For the tests: as StartOnlyBesideOthers, each look finding every
  // processor taken.
  void StartAsIfBusy() {
    look_ = true;
    busy_ = true;
  }
  // From now on all may work, and they act as where the file system keeps
  // them waiting, whatever their timing says.
  void ActAsWaiting();
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Stops the threads once the jobs at hand are done.
  void Finish();

  Mutex* mutex() { return &mutex_; }

  // With the lock held: whether the workers wait for the file system more
  // than they work.
  bool blocked() const { return blocked_; }
  // Without it: the same, as it was lately.
  bool blocked_lately() const { return blocked_.load(std::memory_order_relaxed); }
  // The sweep's thread runs on the processor it is on now.
  void SweepRunsHere() {
    if (parts_) sweep_on_.store(CurrentProcessor(), std::memory_order_relaxed);
  }
  // With the lock held: whether the sweep reads the directory it enters as
  // SweepsAlone says.
  bool SweepsAlone() const;
  // With the lock held: whether the sweep times its own readings, as they
  // tell how many work at once: until a worker has started, and only where
  // that is told by the times.
  bool TimesTheSweep() const { return threads_.empty() && adapts_; }

  // With the lock held: `waiting` jobs are there for workers.
  void WakeWorker(size_t waiting);
  // With the lock held: the sweep waits until a worker is done with
  // `awaited`, or with anything when null.
  void WaitForProgress(const Job* awaited = nullptr);
  // With the lock held: a worker is done with `done`.
  void Progress(const Job* done);

  // Jobs a thread ran back to back, and how long they took: on the clock,
  // and on the processor. A window of them stays open across the waits
  // between jobs, so the thread is timed twice a window, not twice a wait:
  // reading its times costs system calls. What it spends looking for work
  // between jobs counts as work, which only leans towards fewer workers.
  struct Timing;
  // With the lock held: sets how many may work at once from how a thread's
  // last jobs went; whether that changed it.
  bool Adapt(const Timing& timing);

 private:
  // With mutex_ held, or before any thread starts: all may work, blocked,
  // whatever their timing says.
  void WorkAsWaiting();
  // With mutex_ held: whether the first worker may start now.
  bool FirstWorkerDue();
  // With mutex_ held: starts one more worker, false when none could start.
  bool StartWorker();
  // With mutex_ held: wakes the sweep where WakesTheSweep says.
  void WakeSweepWhenDue();
  // Without mutex_: a worker on the sweep's processor moves off it.
  void MoveOffSweep();
  static void WorkerMain(void* pool);
  void Loop();
  // With mutex_ held: gives way and takes the lock again, true, unless
  // `*looks` says it is time to sleep.
  bool LookAgain(int* looks);

  Jobs* jobs_;
  std::vector<std::unique_ptr<Thread>> threads_;

  Mutex mutex_;
  Condition more_;   // a job to take, or the end
  Condition ready_;  // a worker done with something
  // Under mutex_:
  unsigned idle_ = 0;
  // How many workers may work at once: one for each processor but the
  // sweep's, and more while they wait for the file system.
  unsigned active_ = 0;
  unsigned most_workers_ = 0;  // started as they are wanted
  unsigned least_active_ = 1;
  unsigned working_ = 0;
  std::atomic<bool> blocked_{false};  // read without the lock too
  std::atomic<int> sweep_on_{-1};     // the sweep's processor, as it last said
  bool parts_ = false;  // a worker may run on another processor than the sweep's
  bool sweep_waits_ = false;
  const Job* awaited_ = nullptr;
  bool awaited_done_ = false;
  unsigned done_since_ = 0;  // jobs done since awaited_
  int sweep_looks_ = 0;
  bool stopping_ = false;
  bool look_ = false;    // at the machine, before the first worker starts
  bool busy_ = false;    // as the tests have it
  unsigned processors_ = 1;
  bool adapts_ = true;   // to how the threads' jobs went
  bool timer_taken_ = false;  // a worker times its jobs
  unsigned refused_ = 0;  // looks that found no processor free
  std::chrono::steady_clock::time_point looked_;  // the last of them
  std::chrono::steady_clock::time_point made_ = std::chrono::steady_clock::now();
};

struct WorkerPool::Timing {
  // A thread times the jobs it runs back to back, a millisecond's worth or
  // this many, to tell whether it is blocked or works. While that changes
  // nothing, its windows grow, to this many times as long: timing a thread
  // costs five system calls, and a worker blocked on a network file system,
  // where a job takes a few round trips, would otherwise pay them every
  // job or two: as many calls again as the jobs themselves make.
  static constexpr int kTimedPieces = 32;
  static constexpr std::chrono::microseconds kTimedSpan{1000};
  static constexpr int kLongestWindow = 64;
  // Jobs run back to back are timed together, once a window is this long,
  // the clock read every this many: where a system call is dear (a virtual
  // machine's kernel, a user-mode one), two readings a job cost as much as
  // the job's own calls. Shorter windows, where the count of workers is
  // still being found, read it every job: they close the sooner.
  static constexpr int kPiecesBetweenClocks = 8;

  Timing() = default;
  explicit Timing(bool apart) : apart(apart) {}

  int pieces = 0;  // in the window open; none is open at 0
  bool timed = false;
  // Whether this window tells the time spent waiting for a processor: only
  // after one where the worker looked blocked, as reading it costs most.
  bool with_ready = true;
  // Whether the thread does other work between its pieces (the sweep):
  // then each piece is timed on its own.
  bool apart = false;
  bool paused = true;  // the time since `since` is not a piece's
  ThreadTime start;
  std::chrono::steady_clock::duration in_pieces{};
  std::chrono::steady_clock::time_point since;
  double worked = 0, blocked = 0;
  int length = 1;  // of the window, in kTimedSpan and kTimedPieces

  // Whether a window is open: the thread is timing its jobs.
  bool open() const { return pieces > 0; }
  // Closes the window open, untimed.
  void Drop() {
    pieces = 0;
    paused = true;
  }
  // After a window timed: whether it changed how many work.
  void Adapted(bool changed) { length = changed ? 1 : std::min(2 * length, kLongestWindow); }

  void Start() {
    if (pieces == 0) {
      timed = TimeThread(&start, with_ready);
      in_pieces = {};
    }
    if (paused) since = std::chrono::steady_clock::now();
    paused = false;
  }
  // Before the thread waits for work: that is no piece's time.
  void Pause() {
    if (paused) return;
    in_pieces += std::chrono::steady_clock::now() - since;
    paused = true;
  }
  // True when another window has been timed; `closes` ends it with this piece.
  bool End(bool closes = false) {
    bool last = ++pieces >= length * kTimedPieces || closes;
    if (!last && !apart && length >= kPiecesBetweenClocks && pieces % kPiecesBetweenClocks != 0)
      return false;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    in_pieces += now - since;
    since = now;
    paused = apart;
    if (!last && in_pieces < length * kTimedSpan) return false;
    Drop();
    ThreadTime thread;
    bool told = with_ready;
    if (!timed || !TimeThread(&thread, told)) return false;
    worked = thread.working - start.working;
    // At most this long blocked: some of it may have been waiting for a
    // processor, which the next window tells, if it matters.
    double not_working = std::chrono::duration<double>(in_pieces).count() - worked;
    with_ready = not_working > worked;
    if (!told && with_ready) return false;
    blocked = not_working - (thread.ready - start.ready);
    return true;
  }
};

#endif  // ZAPEXT_SWEEP_WORKER_POOL_H_
