// Work handed to threads: the worker threads, the lock they share with the
// sweep, and the one budget of what may wait for the sweep. What they do is
// read_ahead.h's: blocks of directory entries read, and their matching files
// removed, ahead of the sweep, whose lines the sweep puts back in order as
// it reaches them.
//
// Only the sweep waits: for a block it needs that a worker is reading.
// Workers wait for nothing but work, so every wait ends.
#ifndef ZAPEXT_SWEEP_REMOVAL_QUEUE_H_
#define ZAPEXT_SWEEP_REMOVAL_QUEUE_H_

#include <stddef.h>

#include <memory>
#include <vector>

#include "platform/thread.h"

class CString;
class Directory;
class ReadAhead;

// How much may wait at once, read ahead of the sweep.
struct Budget {
  size_t bytes = 0;
  size_t max_bytes = 0;
  size_t handles = 0;  // directories held open ahead of the sweep
  size_t max_handles = 0;
  size_t peak_bytes = 0;

  void Count(size_t cost) {
    bytes += cost;
    if (bytes > peak_bytes) peak_bytes = bytes;
  }
  void Discount(size_t cost) { bytes -= cost; }
  bool Fits(size_t cost) const { return bytes + cost <= max_bytes; }
};

class RemovalQueue {
 public:
  // Up to `workers` threads, which take their work from `ahead`, started
  // as it comes. Should none start, the sweep does every piece itself.
  RemovalQueue(unsigned workers, ReadAhead* ahead);
  ~RemovalQueue();
  RemovalQueue(const RemovalQueue&) = delete;
  RemovalQueue& operator=(const RemovalQueue&) = delete;

  // Stops the threads once the work at hand is done.
  void Finish();

  // What may wait at once: bytes of entries and lines, directories open.
  static const size_t kMaxWaitingBytes = 2 << 20;
  static const size_t kMaxAheadDirectories = 256;

 private:
  friend class ReadAhead;

  struct Timing;

  // With mutex_ held: starts one more worker, false when none could start.
  bool StartWorker();
  static void WorkerMain(void* queue);
  void Work();
  // With mutex_ held: sets how many may work at once from how a worker's
  // last pieces of work went; whether that changed it.
  bool Adapt(const Timing& timing);

  // Without mutex_ held: the sweep reads `dir` itself, timed as a worker's
  // window is, and how many may work is set from that.
  void RunTimed(Directory* dir, const CString* path);

  // With mutex_ held: work is there for a worker; the sweep waits until a
  // worker is done with `awaited`, or with anything when null; a worker is
  // done with `done`.
  void WakeWorker(size_t waiting);
  void WaitForProgress(const Directory* awaited = nullptr);
  void Progress(const Directory* done);
  // With mutex_ held: gives way and takes the lock again, true, unless
  // `*looks` says it is time to sleep.
  bool LookAgain(int* looks);

  ReadAhead* ahead_;
  std::vector<std::unique_ptr<Thread>> threads_;

  Mutex mutex_;
  Condition work_;   // work to take, or the end
  Condition ready_;  // a worker done with something
  // Under mutex_:
  Budget budget_;
  unsigned idle_ = 0;
  // How many workers may work at once: one for each processor but the
  // sweep's, and more while they wait for the file system.
  unsigned active_ = 0;
  unsigned most_workers_ = 0;  // started as they are wanted
  unsigned least_active_ = 1;
  unsigned working_ = 0;
  bool blocked_ = false;  // the workers wait for the file system more than they work
  bool sweep_waits_ = false;
  const Directory* awaited_ = nullptr;
  int sweep_looks_ = 0;
  bool stopping_ = false;
};

#endif  // ZAPEXT_SWEEP_REMOVAL_QUEUE_H_
