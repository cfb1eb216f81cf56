// One directory on its way through the engine: where it stands, the blocks
// of its entries read ahead, and the moves between its states, which are
// made here and nowhere else.
//
// A directory's state is four small ones, each changed by one kind of
// event: where its listing stands (Handle), whether the sweep is in it
// (Visit), the reading of its next block (Work), and how the sweep reads
// its entries (Reading). "Lock" is the engine's lock (the pool's mutex);
// "busy" means the thread that took the directory's job, which alone
// touches it until Done.
//
//   Handle         to           by                                   lock
//   kNone          kOpening     Take: a worker will open it          lock
//   kNone          kAhead       a worker opens it below the block    busy (parent's job;
//                               it read whole, with handles set      handles set aside
//                               aside by Take                        by Take)
//   kNone          kOwn         the sweep opens it itself            sweep
//   kOpening       kAhead       the worker opened it                 busy
//   kOpening       kNone        Done: the opening failed             lock
//   kAhead         kClosing     the worker read it whole and closed  busy
//   kClosing       kClosed      Done                                 lock
//   kAhead         kClosed      the sweep enters it, nothing more    lock
//                               to do through it (DealtWith)
//   kAhead         kOwn         the sweep enters it                  lock
//   kAhead         kNone        given back before its first block,   lock
//                               or dropped, the sweep leaving above
//   kAhead         kGivenBack   given back after its first block     lock
//   kClosed        kOwn, kNone  opened again for the sweep, which    sweep
//   kGivenBack     kOwn, kNone  is in it (kNone: that failed)        sweep
//   kOwn           kNone        found moved away as the sweep enters sweep
//
// kOpening, kAhead and kClosing are counted in the budget's handles: a
// move that changes that is made under the lock and counts it. With no
// workers, the sweep makes every move, alone.
//
//   Visit: kAhead -> kIn (Open, lock), kIn -> kLeft and kAhead -> kLeft
//   (Leave and Forget, lock). Nothing is queued or read ahead for a
//   directory that has been left.
//   Work: kNone -> kQueued (Queue), kQueued -> kNone (Settle, Forget, Enter),
//   kQueued -> kBusy (Take), kNone -> kBusy (Settle: the sweep reads it
//   itself), kBusy -> kDone (Done), kBusy -> kNone (Done, nothing read),
//   kDone -> kNone (TakeBlock). All under the lock.
//   Reading: kBlocks -> kResuming (given back after its first block, lock),
//   kBlocks -> kListing (found moved away, or entered by the sweep alone
//   on a busy machine; sweep), any -> kEnded (the sweep, at the listing's
//   end).
#ifndef ZAPEXT_SWEEP_DIRECTORY_H_
#define ZAPEXT_SWEEP_DIRECTORY_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/cstring.h"
#include "platform/file_system.h"
#include "sweep/budget.h"
#include "sweep/worker_pool.h"

struct Block;

enum class Handle : uint8_t { kNone, kOpening, kAhead, kClosing, kClosed, kGivenBack, kOwn };
enum class Visit : uint8_t { kAhead, kIn, kLeft };
enum class Work : uint8_t { kNone, kQueued, kBusy, kDone };
enum class Reading : uint8_t { kBlocks, kListing, kResuming, kEnded };

class Directory : public Job {
 public:
  // The `index`th entry of `parent` (null for the starting directory).
  Directory(Directory* parent, uint32_t index, const DirEntry& entry);
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  Handle handle() const { return handle_; }
  Visit visit() const { return visit_; }
  Work work() const { return work_; }
  Reading reading() const { return reading_; }

  // The moves of the table above. `budget` counts the handles where the
  // move changes them: it is null only for moves that do not.
  void Move(Handle to, Budget* budget);
  void Move(Visit to);
  void Move(Work to);
  void Move(Reading to);

  // As its parent listed it.
  DirEntry Entry() const;
  // Where it resumes: whether `name` was in its first block.
  bool Passed(const char* name);
  // Its full text, from the starting directory's.
  void PathOf(const CString& start, char separator, CString* path) const;

  // Where it stands: the `index`th entry of its parent, at `depth`.
  Directory* const parent;
  const uint32_t index;
  const uint32_t depth;
  const std::string name;
  const uint32_t attributes;
  const uint64_t id;

  std::unique_ptr<Listing> listing;
  int open_error = 0;
  // Handles in the budget for its subdirectories, while its first block is
  // read: opened then, should it be read whole.
  uint32_t set_aside = 0;
  // Counted in the budget for the block a worker reads: what it may grow to.
  size_t granted = 0;
  uint32_t read = 0;     // entries read from the listing: where its next block starts
  int read_error = 0;    // why its listing ended, when it failed
  int error = 0;         // told to the sweep once it has read to the end
  std::unique_ptr<Block> current;  // the block the sweep reads
  size_t next = 0;                 // its next entry
  const struct Item* given = nullptr;  // the entry given last, when from `current`
  std::unique_ptr<Block> ahead;    // the next block, read ahead
  std::unique_ptr<Block> fresh;    // a spare one to read it into
  std::unique_ptr<Directory> last;  // the subdirectory given last
  std::vector<const char*> passed;  // kResuming: its first block's names, sorted

 private:
  Handle handle_ = Handle::kNone;
  Visit visit_ = Visit::kAhead;
  Work work_ = Work::kNone;
  Reading reading_ = Reading::kBlocks;
};

// One entry the sweep does something with: a subdirectory, or a matching file.
struct Item {
  enum Outcome : uint8_t { kNotRemoved, kNotCounted, kCounted };
  size_t name;  // in the block's names
  uint32_t attributes;
  bool matches;  // a file whose extension is the one wanted
  Outcome outcome = kNotRemoved;
  bool failed = false;
  uint64_t id;
  std::unique_ptr<Directory> below;  // a directory the sweep will enter
  size_t lines = 0;                  // where its lines start in the block's
  size_t lines_end = 0;

  // A matching file not removed ahead: it is removed through its
  // directory's listing still.
  bool StillToRemove() const { return matches && outcome == kNotRemoved; }
};

// Entries of one directory read in one go, and the lines of the files
// removed as they were read.
struct Block {
  std::string names;  // each ends in a NUL
  std::vector<Item> items;
  std::string lines;
  size_t counted = 0;        // in the budget while read ahead
  size_t lines_counted = 0;  // in the budget while it lives
  bool ended = false;        // the listing ended after it: read to its end, or failed
  int error = 0;             // why it failed
  // An entry read from the listing when memory ran short, not yet given
  // out: its name is still the listing's.
  bool held = false;
  DirEntry held_entry;

  const char* NameOf(const Item& item) const { return names.data() + item.name; }
  size_t Cost() const;
  // What it costs kept spare, its room for lines included.
  size_t SpareCost() const { return Cost() + lines.capacity(); }
  // Empty again, its room kept.
  void Clear();
};

// Whether `visit` holds for any subdirectory read ahead below `dir` that the
// sweep has not entered: the one given last, the rest of the block the
// sweep reads, and those of the block read ahead, once read. Stops at the
// first that does.
template <typename Visit>
bool AnyBelow(Directory* dir, Visit visit) {
  if (dir->last && visit(dir->last.get())) return true;
  for (size_t i = dir->next; dir->current && i < dir->current->items.size(); ++i) {
    Directory* below = dir->current->items[i].below.get();
    if (below && visit(below)) return true;
  }
  if (dir->work() != Work::kDone || !dir->ahead) return false;
  for (Item& item : dir->ahead->items) {
    if (item.below && visit(item.below.get())) return true;
  }
  return false;
}

// What waiting in the queue costs a directory: a node of the set.
const size_t kQueuedBytes = 6 * sizeof(void*);

// What a subdirectory in a block costs, its name taking `name_room`: its
// Directory and its place in the queue. Its listing, once open, apart.
inline size_t BelowCost(size_t name_room) { return sizeof(Directory) + name_room + kQueuedBytes; }

#endif  // ZAPEXT_SWEEP_DIRECTORY_H_
