// Directories opened and read ahead of the sweep by worker threads, so that
// many listing requests are in flight while the sweep still meets every
// entry in the one-thread order.
//
// Each directory the sweep reads comes in blocks of entries. When a block is
// read, on whatever thread, the subdirectories in it are queued; a worker
// takes the one nearest to the sweep's place (in depth-first order), opens it
// relative to its parent, reads its first block and queues its own
// subdirectories in turn. When the sweep reaches a subdirectory it takes
// what was read ahead, waits for a read under way, or opens it itself when
// nobody has yet. Reading ahead stops where the budget it shares with the
// removals ends: bytes held and directories held open.
#ifndef ZAPEXT_SWEEP_READ_AHEAD_H_
#define ZAPEXT_SWEEP_READ_AHEAD_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/thread.h"

class ReadAhead;
class RemovalQueue;

// One directory as the sweep reads it.
class Directory {
 public:
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // The next entry, in the listing's order. `name` stays valid until the
  // next Read. False at the end, or when reading failed: error() tells.
  bool Read(DirEntry* entry);
  int error() const { return ended_ ? error_ : 0; }

  // The platform's open listing, for removals through it.
  Listing* listing() const { return listing_.get(); }

 private:
  friend class ReadAhead;
  struct Item {
    size_t name;  // in names_
    uint32_t attributes;
    uint64_t id;
    std::unique_ptr<Directory> below;  // a directory the sweep will enter
  };
  enum State {
    kWaiting,    // for the sweep, or a worker, to open it
    kQueued,     // for a worker to read ahead
    kReading,    // by a worker
    kRead,       // ahead, for the sweep to take
    kTaken,      // by the sweep, which reads it now
    kForgotten,  // out of every queue and count, to be freed
  };

  Directory(ReadAhead* owner, Directory* parent, uint32_t index, const DirEntry& entry);
  void Clear();
  size_t Cost() const;

  ReadAhead* owner_;
  // Where it stands: its entry in the parent, read as the `index_`th.
  Directory* parent_;
  uint32_t index_;
  uint32_t depth_;
  std::string name_;
  uint32_t attributes_;
  uint64_t id_;

  State state_ = kWaiting;
  std::unique_ptr<Listing> listing_;
  int open_error_ = 0;
  size_t counted_ = 0;  // in the budget while read ahead

  // Entries read from the listing, not yet given to the sweep.
  std::string names_;
  std::vector<Item> items_;
  size_t next_ = 0;
  uint32_t read_ = 0;   // entries read from the listing so far
  bool ended_ = false;  // the listing is read to its end, or failed
  int error_ = 0;
  // An entry read from the listing when memory ran short, not yet given out:
  // its name is still the listing's.
  bool held_ = false;
  DirEntry held_entry_;
  std::unique_ptr<Directory> last_;  // the subdirectory given last
};

// How much may wait at once, shared by the read ahead and the removals.
struct Budget {
  size_t bytes = 0;
  size_t max_bytes = 0;
  size_t handles = 0;  // directories held open ahead of the sweep
  size_t max_handles = 0;
  bool Full() const { return bytes >= max_bytes || handles >= max_handles; }
};

class ReadAhead {
 public:
  // With `removals` null nothing is read ahead: the sweep reads each
  // directory as it goes, as the one-thread sweep does.
  ReadAhead(FileSystem* fs, RemovalQueue* removals);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // For the sweep: opens the directory `entry`, which `parent` gave last
  // (both null: the starting directory), whose full text is `path`. On
  // failure returns null with `*error` set as FileSystem::OpenListing does.
  std::unique_ptr<Directory> Open(Directory* parent, const DirEntry* entry, const CString& path,
                                  int* error);

  // From now on nothing more is read ahead (memory ran short).
  void Stop();
  bool ReadsAhead() const { return removals_ && !stopped_.load(std::memory_order_relaxed); }

  // For the workers, with the removals' lock held: takes the directory to
  // read next, if the budget has room for it.
  Directory* Take();
  // Without the lock: opens and reads it.
  void Read(Directory* dir);
  // With the lock: it is read.
  void Done(Directory* dir);

 private:
  friend class Directory;

  // Reads the next block of `dir`'s entries. Throws when memory runs short;
  // the entry read last is then held.
  void Fill(Directory* dir);
  // The sweep's: the same, and the block's subdirectories queued.
  void FillHere(Directory* dir);
  // With the lock: queues the subdirectories of `dir`'s block.
  void Queue(Directory* dir);
  // With the lock: takes `dir`, and all below it, out of every queue and count.
  void Forget(Directory* dir);
  void Close(Directory* dir);
  // The path of a directory read ahead, built from its parents' names.
  void PathOf(const Directory* dir, CString* path) const;
  std::unique_ptr<Listing> OpenHere(Directory* parent, const DirEntry* entry,
                                    const CString& path, int* error);
  bool GiveBackHandles();
  // With the lock: what `dir` read ahead goes; it is left for the sweep.
  void Release(Directory* dir);
  bool Busy(const Directory* dir) const;
  void Uncount(Directory* dir);

  struct Nearer {
    bool operator()(const Directory* a, const Directory* b) const;
  };

  FileSystem* fs_;
  RemovalQueue* removals_;
  Mutex* mutex_;
  Budget* budget_;
  std::atomic<bool> stopped_{false};
  CString start_;  // the starting directory's text
  Directory* deepest_ = nullptr;  // the sweep's
  // Under the lock:
  std::set<Directory*, Nearer> queue_;
  size_t reading_ = 0;
};

#endif  // ZAPEXT_SWEEP_READ_AHEAD_H_
