// Directories read ahead of the sweep by worker threads, their matching
// files removed as they are read, while the sweep still meets every entry
// it does something with, and prints every line, in the one-thread order.
//
// A directory's entries come in blocks. Reading a block is one piece of
// work: open the directory (relative to its parent's listing) if it is not
// yet, read some hundred entries, keep those the sweep does something with
// (subdirectories and matching files), and remove the files, keeping each
// one's lines with it. When a block is read, on whatever thread, the first
// block of each subdirectory in it becomes work too. Workers take the piece
// nearest to the sweep's place in depth-first order. When the sweep reaches
// an entry, its lines are written; when it needs a block, it takes the one
// read ahead, waits for a worker reading it, or reads it itself when nobody
// has yet. What is read ahead is held within a budget of bytes and of open
// directories (removal_queue.h), and never more than one block a directory
// beyond the sweep's. A directory read whole in one block, its files
// removed, has its few subdirectories opened at once through its listing,
// which then closes on the thread that read it; the sweep enters it without
// one, but holds every level it is in where it could run short of handles,
// as the one-thread sweep does.
//
// On a terminal, files are not removed ahead: the sweep removes each one
// itself once its line is out, and the workers only read.
#ifndef ZAPEXT_SWEEP_READ_AHEAD_H_
#define ZAPEXT_SWEEP_READ_AHEAD_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/cstring.h"
#include "platform/file_system.h"
#include "sweep/output.h"

class ReadAhead;
class RemovalQueue;
struct Budget;

// One directory as the sweep reads it.
class Directory {
 public:
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // The next entry, in the listing's order, leaving out any that are
  // neither a directory to enter nor a matching file; its name stays valid
  // until the next Read. False at the end, or when reading failed: error() tells.
  bool Read(DirEntry* entry);
  int error() const { return error_; }

  // The platform's open listing, for removals through it.
  Listing* listing() const { return listing_.get(); }

  // Whether `entry`, the one Read gave last, is a file whose extension is
  // `wanted`: known already when it came in a block.
  bool Matches(const DirEntry& entry, const CString& wanted) const;

  // When the matching file Read gave last was removed ahead: writes its
  // lines to `out`, adds it to `*count` when it counts, sets `*failed` when
  // its removal failed, and returns true.
  bool RemovedAhead(Output* out, uint32_t* count, bool* failed);

 private:
  friend class ReadAhead;
  enum Outcome : uint8_t { kNotRemoved, kNotCounted, kCounted };
  struct Item {
    size_t name;  // in the block's names
    uint32_t attributes;
    bool matches;  // a file whose extension is the one wanted
    Outcome outcome = kNotRemoved;
    bool failed = false;
    uint64_t id;
    std::unique_ptr<Directory> below;  // a directory the sweep will enter
    size_t lines = 0;                  // where its lines start in the block's
    size_t lines_end = 0;
  };
  struct Block {
    std::string names;  // each ends in a NUL
    std::vector<Item> items;
    std::string lines;
    size_t counted = 0;        // in the budget while read ahead
    size_t lines_counted = 0;  // in the budget while it lives
    bool ended = false;    // the listing ended after it: read to its end, or failed
    int error = 0;         // why it failed
    // An entry read from the listing when memory ran short, not yet given
    // out: its name is still the listing's.
    bool held = false;
    DirEntry held_entry;
    size_t Cost() const;
    // What it costs kept spare, its room for lines included.
    size_t SpareCost() const { return Cost() + lines.capacity(); }
    // Empty again, its room kept.
    void Clear();
  };
  enum Work : uint8_t { kNone, kQueued, kBusy, kDone };

  Directory(ReadAhead* owner, Directory* parent, uint32_t index, const DirEntry& entry);
  // As its parent listed it.
  DirEntry Entry() const;
  // Where it resumes: whether `name` was in its first block.
  bool Passed(const char* name);

  ReadAhead* owner_;
  // Where it stands: the `index_`th entry of its parent.
  Directory* parent_;
  uint32_t index_;
  uint32_t depth_;
  std::string name_;
  uint32_t attributes_;
  uint64_t id_;

  bool taken_ = false;  // by the sweep, which reads it now
  bool forgotten_ = false;
  std::unique_ptr<Listing> listing_;
  int open_error_ = 0;
  bool counted_handle_ = false;  // its listing counts in the budget
  // Handles in the budget for its subdirectories, while its first block is
  // read: opened then, should it be read whole.
  uint32_t set_aside_ = 0;
  bool released_ = false;        // its listing closed to give a handle back
  bool unheld_ = false;  // the sweep is in it, its listing closed ahead
  // Its listing closed ahead: read to its end, nothing left to do through
  // it but open its subdirectories, which are opened already.
  bool finished_ = false;
  // Given back with only its first block read: opened again, its listing
  // is read from its start, as the sweep goes, passing over the entries
  // that block held, by name (`passed_`, sorted, once needed).
  bool resumes_ = false;
  std::vector<const char*> passed_;

  Work work_ = kNone;  // the reading of its next block
  // Counted in the budget for that block while a worker reads it: what it
  // may grow to.
  size_t granted_ = 0;
  uint32_t read_ = 0;  // entries read from the listing: where that block starts
  // The sweep's: the listing is read to its end, or failed, and why.
  bool ended_ = false;
  int error_ = 0;
  int read_error_ = 0;
  std::unique_ptr<Block> current_;  // the block the sweep reads
  size_t next_ = 0;                 // its next entry
  bool from_block_ = false;         // the entry given last came from it
  std::unique_ptr<Block> ahead_;    // the next block, read ahead
  std::unique_ptr<Block> fresh_;    // a spare one to read it into
  std::unique_ptr<Directory> last_;  // the subdirectory given last
};

class ReadAhead {
 public:
  // Lists `fs` for a sweep for files whose extension is `wanted`, writing
  // the lines of files removed ahead to `out`; workers stop after the file
  // at hand once `*interrupted` turns nonzero. Nothing is read ahead until
  // Start.
  ReadAhead(FileSystem* fs, const CString& wanted, Output* out,
            const std::atomic<int>* interrupted);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // From now on `workers` read ahead, removing the matching files they meet
  // when `remove_ahead`.
  void Start(RemovalQueue* workers, bool remove_ahead);

  // For the sweep: opens the directory `entry`, which `parent` gave last
  // (both null: the starting directory), whose full text is `path`. On
  // failure returns null with `*error` set as FileSystem::OpenListing does.
  std::unique_ptr<Directory> Open(Directory* parent, const DirEntry* entry, const CString& path,
                                  int* error);

  // Files removed ahead whose lines were written as their directories closed
  // behind an interrupted sweep.
  uint32_t removed_late() const { return removed_late_; }
  bool failed_late() const { return failed_late_; }

  // For the workers, with the queue's lock held: the directory whose block
  // to read next, if the budget has room.
  Directory* Take();
  // Without the lock: reads it. `path` is the directory's text, when known;
  // `sweep` says whether the sweep's own thread runs it.
  void Run(Directory* dir, const CString* path, bool sweep);
  // With the lock: it is read.
  void Done(Directory* dir, bool worker);

 private:
  friend class Directory;

  void ReadBlock(Directory* dir, Directory::Block* block, bool ahead);
  // Whether `dir`'s block read ahead may grow to cost `cost`, with its
  // listing: counted in the budget when it fits.
  bool Granted(Directory* dir, size_t cost);
  static void FitToSize(Directory::Block* block);
  // Of a directory just read whole in its block ahead: opens its
  // subdirectories when the handles set aside allow, and says whether
  // nothing is left to do through its listing.
  bool OpenBelow(Directory* dir);
  void RemoveAhead(Directory* dir, Directory::Block* block, CString* path);
  // For the sweep: whether `dir` is read straight from its listing, with no
  // block read ahead or to come; else its next block, read ahead or read now.
  bool ReadsAsItGoes(Directory* dir);
  void NextBlock(Directory* dir);
  // With the lock: the block read ahead becomes the one the sweep reads.
  void TakeBlock(Directory* dir);
  // With the lock: brings `dir`'s next block to be read, on the sweep's
  // thread when nobody has taken it yet.
  void Settle(Directory* dir, const CString* path);
  struct Nearer {
    bool operator()(const Directory* a, const Directory* b) const;
  };
  using Queued = std::set<Directory*, Nearer>::iterator;
  // With the lock: queues `dir`, right after `*after` when given; where it
  // went, or the end when it was not queued.
  Queued Queue(Directory* dir, const Queued* after = nullptr);
  // With the lock: how many pieces waiting a worker may take.
  size_t ForWorkers() const;
  void Discount(size_t cost);
  void QueueBelow(Directory::Block* block);
  void Forget(Directory* dir);
  bool Busy(const Directory* dir) const;
  void Close(Directory* dir);
  // With the lock: keeps `*block`, whose entries the sweep has all met, to
  // be read into again; a block to read into, or null.
  void Spare(std::unique_ptr<Directory::Block>* block);
  std::unique_ptr<Directory::Block> SpareBlock();
  void WriteLate(Directory* dir);
  void WriteLate(Directory::Block* block, size_t from);
  void PathOf(const Directory* dir, CString* path) const;
  // Opens `dir` through `parent`, its parent's listing (null for the
  // starting directory); `path` is its text, or null to build it where the
  // platform opens by it. Where `give_back`, a want of handles gives back
  // those held ahead and tries again.
  std::unique_ptr<Listing> OpenThrough(const Directory* dir, Listing* parent, const CString* path,
                                       bool give_back, int* error);
  // For the sweep: `dir`'s listing, opened again through its parent's if
  // it was closed ahead; null on failure, with `dir->open_error_` set.
  Listing* ListingOf(Directory* dir);
  // For the sweep: opens again `dir`, if it was given back or closed
  // ahead, and every level above it that was closed ahead.
  void HoldPath(Directory* dir);
  void Reopen(Directory* dir);
  bool GiveBackHandles();
  void GiveBack(Directory* dir);

  FileSystem* fs_;
  CString wanted_;
  Output* out_;
  const std::atomic<int>* interrupted_;
  RemovalQueue* workers_ = nullptr;
  Budget* budget_ = nullptr;
  bool remove_ahead_ = false;
  std::atomic<bool> stopped_{false};
  CString start_;  // the starting directory's text
  // A directory above this depth may be closed ahead and entered without
  // its listing: until there the one-thread sweep could always open one
  // more. Deeper, the sweep holds each level it is in, as that one does.
  size_t unheld_above_ = SIZE_MAX;
  uint32_t unheld_on_path_ = 0;  // levels the sweep is in without their listing
  Directory* deepest_ = nullptr;  // the sweep's
  uint32_t removed_late_ = 0;
  bool failed_late_ = false;
  // Under the queue's lock:
  std::set<Directory*, Nearer> queue_;
  size_t busy_ = 0;
  // Blocks the sweep is done with, to read into again: a block a directory
  // costs no allocation. In the budget while they wait.
  std::vector<std::unique_ptr<Directory::Block>> spare_;
};

#endif  // ZAPEXT_SWEEP_READ_AHEAD_H_
