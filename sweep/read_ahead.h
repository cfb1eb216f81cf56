// The engine as the sweep sees it: it opens the directories the sweep
// enters and gives out their entries, in listing order, while worker
// threads read ahead of it, removing the matching files they meet and
// keeping each one's lines for the sweep to write in its place. The sweep
// asks, the engine answers; how one directory flows through it is in
// docs/design.md.
//
// Its rooms: the state of one directory (directory.h), reading one block
// (block_reader.h), the order of the work waiting (nearest_first.h), the
// threads (worker_pool.h), what may wait at once (budget.h), and the blocks
// kept to read into again (spare_blocks.h).
//
// On a terminal, files are not removed ahead: the sweep removes each one
// itself once its line is out, and the workers only read.
#ifndef ZAPEXT_SWEEP_READ_AHEAD_H_
#define ZAPEXT_SWEEP_READ_AHEAD_H_

#include <stdint.h>

#include <atomic>
#include <memory>

#include "platform/cstring.h"
#include "platform/file_system.h"
#include "sweep/block_reader.h"
#include "sweep/budget.h"
#include "sweep/directory.h"
#include "sweep/nearest_first.h"
#include "sweep/output.h"
#include "sweep/spare_blocks.h"
#include "sweep/worker_pool.h"

class ReadAhead : public Jobs {
 public:
  // Lists `fs` for a sweep for files whose extension is `wanted`, writing
  // the lines of files removed ahead to `out`; workers stop after the file
  // at hand once `*interrupted` turns nonzero. Nothing is read ahead until
  // Start.
  ReadAhead(FileSystem* fs, const CString& wanted, Output* out,
            const std::atomic<int>* interrupted);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // From now on the workers of `pool` read ahead, removing the matching
  // files they meet when `remove_ahead`.
  void Start(WorkerPool* pool, bool remove_ahead);

  // Leaving a directory: what was read ahead below it is dropped, and the
  // lines of files removed there are written (an interrupted sweep).
  struct Leave {
    ReadAhead* engine;
    void operator()(Directory* dir) const { engine->Close(dir); }
  };
  using Entered = std::unique_ptr<Directory, Leave>;

  // For the sweep: enters the directory `entry`, which `parent` gave last
  // (both null: the starting directory), whose full text is `path`. On
  // failure returns null with `*error` set as FileSystem::OpenListing does.
  Entered Open(Directory* parent, const DirEntry* entry, const CString& path, int* error);

  // The next entry of `dir`, in the listing's order, leaving out any that
  // are neither a directory to enter nor a matching file; its name stays
  // valid until the next Read. False at the end, or when reading failed:
  // `dir->error` tells.
  bool Read(Directory* dir, DirEntry* entry);
  // Whether `entry`, the one Read gave last, is a file to remove.
  bool Matches(const Directory* dir, const DirEntry& entry) const;
  // When the file Read gave last was removed ahead: writes its lines to
  // `out`, adds it to `*count` when it counts, sets `*failed` when its
  // removal failed, and returns true.
  bool RemovedAhead(const Directory* dir, Output* out, uint32_t* count, bool* failed) const;

  // Out of memory: the workers stop after the file at hand, as for an
  // interruption.
  void Halt() { halted_ = true; }

  // Files removed ahead whose lines were written as their directories closed
  // behind an interrupted sweep.
  uint32_t removed_late() const { return removed_late_; }
  bool failed_late() const { return failed_late_; }

  // Jobs, for the pool.
  Job* Take() override;
  void Run(Job* job) override;
  void Done(Job* job) override;

 private:
  void Close(Directory* dir);
  // Open's work: whether the sweep is in `*dir` now.
  bool Enter(Entered* dir, Directory* parent, const DirEntry* entry, const CString& path,
             int* error);
  // Reads `dir`'s next block; `path` is its text, when known; `sweep`
  // says whether the sweep's own thread reads it for itself.
  void Run(Directory* dir, const CString* path, bool sweep);
  void Done(Directory* dir, bool worker);
  bool ReadsAsItGoes(const Directory* dir);
  void NextBlock(Directory* dir);
  void TakeBlock(Directory* dir);
  void Settle(Directory* dir, const CString* path);
  // Entered with a listing opened ahead: opened again by its name, as the
  // single-threaded sweep would open it now, if that leads elsewhere.
  void CheckStillThere(Directory* dir, const CString& path);
  // With the lock: queues `dir`, right after `*at` where `after`; `*at`
  // becomes where it went. False when it was not queued.
  bool Queue(Directory* dir, NearestFirst::iterator* at = nullptr, bool after = false);
  void QueueBelow(Block* block);
  // With the lock: takes the queued `dir` out of the queue.
  void Unqueue(Directory* dir);
  size_t ForWorkers() const;
  void Discount(size_t cost);
  // With the lock: nothing more is read ahead below `dir`, and what was
  // leaves the budget; `left`: the sweep is done with it.
  void Forget(Directory* dir, bool left);
  bool Busy(Directory* dir);
  void Spare(std::unique_ptr<Block>* block);
  std::unique_ptr<Block> SpareBlock();
  void WriteLate(Directory* dir);
  void WriteLate(Block* block, size_t from);
  std::unique_ptr<Listing> OpenThrough(const Directory* dir, Listing* parent, const CString* path,
                                       bool give_back, int* error);
  Listing* ListingOf(Directory* dir);
  void HoldPath(Directory* dir);
  void Reopen(Directory* dir);
  bool GiveBackHandles();
  void GiveBack(Directory* dir);
  // With the lock: whether nothing more is done through the listing of
  // `dir`, opened ahead.
  bool DealtWith(const Directory* dir) const;
  // Levels the sweep is in without their listing.
  bool Unheld(const Directory* dir) const {
    return dir->visit() == Visit::kIn && dir->handle() == Handle::kClosed;
  }

  FileSystem* fs_;
  CString wanted_;
  Output* out_;
  const std::atomic<int>* interrupted_;
  WorkerPool* pool_ = nullptr;
  Budget budget_;
  BlockReader reader_;
  bool remove_ahead_ = false;
  std::atomic<bool> stopped_{false};  // nothing more is read ahead
  std::atomic<bool> halted_{false};   // nor removed
  CString start_;  // the starting directory's text
  // A directory above this depth may be closed ahead and entered without
  // its listing: until there the single-threaded sweep could always open
  // one more. Deeper, the sweep holds each level it is in, as that one does.
  size_t unheld_above_ = SIZE_MAX;
  uint32_t unheld_on_path_ = 0;
  Directory* deepest_ = nullptr;  // the sweep's
  WorkerPool::Timing sweep_timing_{true};  // its own readings, until a worker runs
  uint32_t removed_late_ = 0;
  bool failed_late_ = false;
  // Under the pool's lock:
  KeptNodes nodes_;
  NearestFirst queue_{Nearer(), NearestFirst::allocator_type(&nodes_)};
  size_t busy_ = 0;
  SpareBlocks spare_;
};

#endif  // ZAPEXT_SWEEP_READ_AHEAD_H_
