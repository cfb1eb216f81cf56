// Work handed to threads, and the lines put back in order: matching files
// removed by worker threads while the sweep goes on, directories read ahead
// of it (read_ahead.h) when no removal waits, and the output kept the
// one-thread sweep's, byte for byte; only the time changes.
//
// The sweep hands over the files of a directory in chunks. A worker takes
// a chunk and removes its files through the directory's open listing,
// writing their lines into the chunk's own text, reserved beforehand: a
// worker never allocates while it removes. Before the sweep leaves a
// directory, every file handed over from it is removed (the sweep removes
// those nobody has taken yet itself), so no file waits longer than the
// sweep stays in its directory, and no listing is held open for removals.
// Only the sweep writes to the output, outside the lock, and only the sweep
// waits: for room in the budget, for a directory read ahead, for the files
// of the directory it leaves. Workers wait for nothing but work.
#ifndef ZAPEXT_SWEEP_REMOVAL_QUEUE_H_
#define ZAPEXT_SWEEP_REMOVAL_QUEUE_H_

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "platform/thread.h"
#include "sweep/output.h"
#include "sweep/read_ahead.h"

class RemovalQueue {
 public:
  // Starts up to `workers` threads that remove files from `fs`, whose lines
  // go to `out`; they stop after the file at hand once `*interrupted` turns
  // nonzero. With `hand_over` false the sweep removes every file itself and
  // the threads only read ahead: each line is then written before its file
  // is removed.
  RemovalQueue(FileSystem* fs, FILE* out, unsigned workers, bool hand_over,
               const std::atomic<int>* interrupted);
  ~RemovalQueue();
  RemovalQueue(const RemovalQueue&) = delete;
  RemovalQueue& operator=(const RemovalQueue&) = delete;

  // How many workers could be started (0: the sweep must work alone).
  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

  // Where the directories read ahead come from; set before the sweep starts.
  void SetReadAhead(ReadAhead* ahead);

  // The rest is for the sweeping thread alone.

  // Where the sweep's own lines go, in their place among the removals'.
  Output* output() { return &sweep_output_; }

  // Hands over the matching file `entry` of `dir`, whose full text is
  // `directory`. False when it is not handed over (memory ran short, or
  // files are not handed over at all): the sweep removes it itself.
  bool Add(Directory* dir, const CString& directory, const DirEntry& entry);

  // The sweep enters a directory: what it handed over goes to the workers,
  // and a file that has waited too many such steps is removed now.
  void Step();

  // Every file handed over from `dir` is removed, before the sweep leaves it.
  void Leave(Directory* dir);

  // Waits for every removal, writes every line and stops the threads.
  // Returns how many files the workers removed; sets `*failed` when any
  // removal failed.
  uint32_t Finish(bool* failed);

  // Memory ran short: everything waiting is written, and from now on
  // nothing is handed over or read ahead.
  void Stop();

  // Files handed over at a time: few, so that a directory's files are
  // removed by several workers at once, where each removal is a round trip.
  static const size_t kFilesPerChunk = 8;
  // How much may wait at once: lines, names, directories read ahead.
  static const size_t kMaxWaitingBytes = 512 << 10;
  static const size_t kMaxAheadDirectories = 256;

  // The most the budget ever held, for the tests.
  size_t peak_bytes() const { return peak_bytes_; }

 private:
  friend class ReadAhead;
  struct Chunk;
  class SweepOutput : public Output {
   public:
    explicit SweepOutput(RemovalQueue* queue) : queue_(queue) {}
    void Write(const char* text, size_t length) override;

   private:
    RemovalQueue* queue_;
  };

  static void WorkerMain(void* queue);
  void Work();
  void Remove(Chunk* chunk);

  // The sweeping thread's.
  void Submit();
  void WriteOut();
  void WaitForRoom();
  // Removes `chunk`, taken from the queue, on the sweep's thread.
  void RemoveHere(Chunk* chunk);
  // With mutex_ held: takes `chunk` out of the workers' queue.
  void Untodo(Chunk* chunk);
  // With mutex_ held: a removal or a listing is ready for a worker.
  void WakeWorker();
  // With mutex_ held: bytes that wait, and bytes no longer waiting.
  void Count(size_t bytes);
  void Discount(size_t bytes);
  // With mutex_ held, on the sweep's thread: until a worker is done with
  // something; and, on a worker's, that it is.
  void WaitForProgress();
  void Progress();
  // Removes what the queue holds until nothing of `dir`'s, or of anything
  // when `dir` is null, is left undone; writes what is done.
  void Drain(Directory* dir);

  FileSystem* fs_;
  FILE* out_;
  bool hand_over_;
  const std::atomic<int>* interrupted_;
  ReadAhead* ahead_ = nullptr;
  SweepOutput sweep_output_{this};
  std::vector<std::unique_ptr<Thread>> threads_;
  Chunk* filling_ = nullptr;  // the sweep's, not yet handed over
  bool stopped_ = false;
  // Every chunk not yet written, in the sweep's order; only the sweep adds
  // and takes them.
  Chunk* first_ = nullptr;
  Chunk* last_ = nullptr;
  uint64_t steps_ = 0;

  Mutex mutex_;
  Condition work_;   // a chunk or a directory to take, or the end
  Condition ready_;  // a chunk done, or a directory read
  // Under mutex_:
  Budget budget_;
  size_t peak_bytes_ = 0;
  // Chunks for the workers to take, oldest first.
  Chunk* todo_first_ = nullptr;
  Chunk* todo_last_ = nullptr;
  size_t undone_ = 0;  // chunks handed over whose files are not all removed
  unsigned idle_ = 0;
  bool sweep_waits_ = false;
  uint32_t removed_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
};

#endif  // ZAPEXT_SWEEP_REMOVAL_QUEUE_H_
