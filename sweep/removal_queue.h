// The sweep's matching files, removed by worker threads while the sweep goes
// on, with their lines put back in the order the sweep met the files: the
// output is the one-thread sweep's, byte for byte; only the time changes.
//
// The sweep hands over files in chunks that may span directories. A worker
// takes a chunk and removes its files one after the other through the
// directories' open listings, which the chunk keeps open. A chunk's lines
// are written once it is done and every chunk before it is written; the
// sweep then lets it go, and with it the listings it held. Only the sweep
// ever waits: for room, when the text and names waiting reach a cap, and for
// the directories held open, when the process runs out of them. Workers
// never wait for anything but work, so every wait ends.
#ifndef ZAPEXT_SWEEP_REMOVAL_QUEUE_H_
#define ZAPEXT_SWEEP_REMOVAL_QUEUE_H_

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "platform/thread.h"
#include "sweep/output.h"

class RemovalQueue {
 public:
  // Starts up to `workers` threads that remove files from `fs`, writing
  // lines to `out`, handed over `files_per_chunk` at a time (1 where someone
  // watches the output: each line then goes out as soon as it can); they
  // stop after the file at hand once `*interrupted` turns nonzero.
  RemovalQueue(FileSystem* fs, FILE* out, unsigned workers, size_t files_per_chunk,
               const std::atomic<int>* interrupted);
  ~RemovalQueue();
  RemovalQueue(const RemovalQueue&) = delete;
  RemovalQueue& operator=(const RemovalQueue&) = delete;

  // How many workers could be started (0: the sweep must remove files itself).
  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

  // The rest is for the sweeping thread alone.

  // Where the sweep's own lines go, in their place among the removals'.
  Output* output() { return &sweep_output_; }

  // Hands over the matching file `entry` of the open listing `dir`, whose
  // full text is `directory`.
  void Add(const std::shared_ptr<Listing>& dir, const CString& directory, const DirEntry& entry);

  // Waits until no listing is held open for removals.
  void CloseDirectories();

  // Waits for every removal and writes every line. Returns how many files
  // the workers removed; sets `*failed` when any removal failed.
  uint32_t Finish(bool* failed);

  // Files handed over at a time where nobody watches: handing them over then
  // costs little beside their removals, and every worker still soon has some.
  static const size_t kFilesPerChunk = 64;

  // How much text and how many directories may wait at once.
  static const size_t kMaxWaitingBytes = 256 << 10;
  static const size_t kMaxWaitingDirectories = 256;

 private:
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
  void WriteOut();  // with mutex_ held

  // The sweeping thread's.
  Chunk* Filling();
  void Submit();
  void LetGo();  // frees the chunks written, closing what they held open
  void WaitUntil(bool (RemovalQueue::*done)() const);
  void WaitForRoom();
  // What it waits for, with mutex_ held.
  bool HasRoom() const;
  bool HoldsNoDirectory() const;
  bool AllWritten() const;

  FileSystem* fs_;
  FILE* out_;
  size_t files_per_chunk_;
  const std::atomic<int>* interrupted_;
  SweepOutput sweep_output_{this};
  std::vector<std::unique_ptr<Thread>> threads_;

  Mutex mutex_;
  Condition work_;   // a chunk to take, or the end
  Condition ready_;  // a chunk written
  // Every chunk not yet written, in the sweep's order; the last one may be
  // the one the sweep is filling.
  std::deque<std::unique_ptr<Chunk>> chunks_;
  std::deque<Chunk*> todo_;
  std::vector<std::unique_ptr<Chunk>> written_;  // for the sweep to let go
  Chunk* filling_ = nullptr;
  size_t waiting_bytes_ = 0;
  size_t waiting_directories_ = 0;
  uint32_t removed_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
};

#endif  // ZAPEXT_SWEEP_REMOVAL_QUEUE_H_
