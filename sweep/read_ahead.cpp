#include "sweep/read_ahead.h"

#include <algorithm>
#include <new>

#include "sweep/sweep.h"

namespace {

// Handles the process may hold besides the sweep's levels and those opened
// ahead: the standard streams are counted already.
const size_t kHandlesElsewhere = 8;

}  // namespace

ReadAhead::ReadAhead(FileSystem* fs, const CString& wanted, Output* out,
                     const std::atomic<int>* interrupted)
    : fs_(fs), wanted_(wanted), out_(out), interrupted_(interrupted), budget_(nullptr),
      reader_(fs, &wanted_, &start_, &budget_, &halted_, interrupted) {}

void ReadAhead::Start(WorkerPool* pool, bool remove_ahead) {
  Locked locked(pool->mutex());
  pool_ = pool;
  budget_ = Budget(pool->mutex());
  remove_ahead_ = remove_ahead;
  // The sweep's own levels need the rest: a quarter of what the process may
  // hold is read ahead at most.
  budget_.LimitHandles(fs_->HandleLimit() / 4);
  // A level closed ahead holds no handle while the sweep is in it: only as
  // deep as the single-threaded sweep could not run short of them, a few
  // left for whatever else opens one for a moment.
  size_t free = fs_->HandlesFree();
  if (free != SIZE_MAX) unheld_above_ = free > kHandlesElsewhere ? free - kHandlesElsewhere : 0;
}

ReadAhead::Entered ReadAhead::Open(Directory* parent, const DirEntry* entry, const CString& path,
                                   int* error) {
  Entered dir(parent ? parent->last.release() : nullptr, Leave{this});
  try {
    if (Enter(&dir, parent, entry, path, error)) return dir;
  } catch (const std::bad_alloc&) {
    // The workers stop before anything read ahead below it is dropped.
    Halt();
    throw;
  }
  return nullptr;
}

bool ReadAhead::Enter(Entered* entered, Directory* parent, const DirEntry* entry,
                      const CString& path, int* error) {
  Entered& dir = *entered;
  if (!dir) {
    DirEntry start;
    dir.reset(new Directory(parent, parent ? parent->read : 0, entry ? *entry : start));
    if (!parent) start_ = path;
  }
  if (!pool_) {
    // Alone, the sweep opens each directory as it comes to it.
    dir->Move(Visit::kIn);
    dir->listing = fs_->OpenListing(parent ? parent->listing.get() : nullptr, entry, path, error);
    if (!dir->listing) return false;
    dir->Move(Handle::kOwn, nullptr);
    return true;
  }
  // Where it might run short of handles, the sweep holds every level it is
  // in, as the single-threaded sweep does: what it opens there fails as
  // that one's would.
  if (dir->depth >= unheld_above_ && unheld_on_path_ > 0) HoldPath(parent);
  bool opened = false;
  // With the lock: its first block handed out, where it is open.
  auto begin = [&] {
    Handle handle = dir->handle();
    opened = handle == Handle::kOwn || handle == Handle::kGivenBack || handle == Handle::kClosed;
    if (!opened) {
      *error = dir->open_error;
      // Not opened for want of memory, or left to the sweep: it is opened
      // as it comes, below.
      if (*error == 0 && dir->work() != Work::kNone) dir->Move(Work::kNone);
    } else if (dir->reading() != Reading::kListing) {
      TakeBlock(dir.get());
    }
  };
  bool ahead;
  std::unique_ptr<Listing> done_with;
  {
    Locked locked(pool_->mutex());
    pool_->SweepRunsHere();
    dir->Move(Visit::kIn);
    // Where no worker runs, nor may start yet, it is read as the
    // single-threaded sweep reads it, nothing below it queued; else its
    // block is read, by a worker or here.
    // (Its handle is asked after its work: a worker busy with it moves both.)
    if (parent && (dir->work() == Work::kNone || dir->work() == Work::kQueued) &&
        dir->handle() == Handle::kNone && dir->reading() == Reading::kBlocks &&
        pool_->SweepsAlone()) {
      if (dir->work() == Work::kQueued) Unqueue(dir.get());
      dir->Move(Reading::kListing);
    } else {
      Settle(dir.get(), &path);
    }
    ahead = dir->handle() == Handle::kAhead;
    if (ahead && DealtWith(dir.get())) {
      done_with = std::move(dir->listing);
      dir->Move(Handle::kClosed, &budget_);
      ahead = false;
    }
    if (ahead) dir->Move(Handle::kOwn, &budget_);
    if (dir->handle() == Handle::kClosed) ++unheld_on_path_;
    if (!ahead) begin();
  }
  done_with.reset();  // closed without the lock
  if (ahead) {
    // Opened ahead, it may have been moved away since: nothing is removed
    // through it then. Checked before its next block is handed out.
    CheckStillThere(dir.get(), path);
    Locked locked(pool_->mutex());
    begin();
  }
  if (!opened && *error == 0) {
    Listing* through = parent ? ListingOf(parent) : nullptr;
    if (parent && !through) {
      *error = parent->open_error;
    } else {
      dir->listing = OpenThrough(dir.get(), through, &path, true, error);
      opened = dir->listing != nullptr;
      if (opened) dir->Move(Handle::kOwn, nullptr);
    }
  }
  // Given back for want of descriptors, it is opened again now that the
  // sweep is in it, by its name, as the single-threaded sweep opens it only
  // now. What was removed from it ahead is still told as it closes.
  if (opened && dir->handle() != Handle::kClosed && !ListingOf(dir.get())) {
    *error = dir->open_error;
    opened = false;
  }
  if (opened) deepest_ = dir.get();
  return opened;
}

void ReadAhead::CheckStillThere(Directory* dir, const CString& path) {
  if (!dir->parent) return;
  // Through its parent's listing, or by its text where the sweep is in the
  // parent without one.
  DirEntry entry = dir->Entry();
  if (fs_->StillAt(dir->parent->listing.get(), entry, path, dir->listing.get(),
                   pool_->blocked_lately()))
    return;
  {
    Locked locked(pool_->mutex());
    while (Busy(dir)) pool_->WaitForProgress();
    Forget(dir, false);
    if (dir->work() != Work::kNone) dir->Move(Work::kNone);
  }
  // What was removed before it went is told, and nothing more through it.
  if (dir->ahead) WriteLate(dir->ahead.get(), 0);
  dir->ahead.reset();
  dir->listing.reset();
  dir->Move(Handle::kNone, nullptr);
  dir->Move(Reading::kListing);
  dir->open_error = 0;
}

bool ReadAhead::Read(Directory* dir, DirEntry* entry) {
  if (dir->last) Close(dir->last.release());
  dir->given = nullptr;
  for (;;) {
    Block* block = dir->current.get();
    if (block && dir->next < block->items.size()) {
      Item& item = block->items[dir->next++];
      entry->name = block->NameOf(item);
      entry->attributes = item.attributes;
      entry->id = item.id;
      dir->last = std::move(item.below);
      dir->given = &item;
      return true;
    }
    if (block && block->held) {
      block->held = false;
      *entry = block->held_entry;
      return true;
    }
    if (dir->reading() == Reading::kEnded) {
      dir->error = dir->read_error;
      return false;
    }
    if (ReadsAsItGoes(dir)) {
      // Straight from the listing, as the single-threaded sweep reads it.
      if (dir->listing->Read(entry)) {
        ++dir->read;
        if (dir->reading() == Reading::kResuming && dir->Passed(entry->name)) continue;
        return true;
      }
      dir->read_error = dir->listing->error();
      dir->Move(Reading::kEnded);
      continue;
    }
    NextBlock(dir);
  }
}

bool ReadAhead::Matches(const Directory* dir, const DirEntry& entry) const {
  if (dir->given) return dir->given->matches;
  return !(entry.attributes & kAttrDirectory) && MatchesExtension(entry.name, wanted_);
}

bool ReadAhead::RemovedAhead(const Directory* dir, Output* out, uint32_t* count,
                             bool* failed) const {
  const Item* item = dir->given;
  if (!item || item->outcome == Item::kNotRemoved) return false;
  out->Write(dir->current->lines.data() + item->lines, item->lines_end - item->lines);
  if (item->outcome == Item::kCounted) ++*count;
  if (item->failed) *failed = true;
  return true;
}

bool ReadAhead::ReadsAsItGoes(const Directory* dir) {
  if (!pool_ || dir->reading() != Reading::kBlocks) return true;
  if (!stopped_) return false;
  // Stopped, but for a block a worker may still be reading.
  Locked locked(pool_->mutex());
  return dir->work() == Work::kNone;
}

void ReadAhead::NextBlock(Directory* dir) {
  Locked locked(pool_->mutex());
  Settle(dir, nullptr);
  if (dir->current) Discount(dir->current->lines_counted);
  TakeBlock(dir);
}

void ReadAhead::TakeBlock(Directory* dir) {
  if (dir->current) Spare(&dir->current);
  dir->current = std::move(dir->ahead);
  dir->next = 0;
  if (dir->work() != Work::kNone) dir->Move(Work::kNone);
  if (!dir->current) return;  // memory ran short: the sweep reads as it goes
  Discount(dir->current->counted);
  dir->current->counted = 0;
  if (dir->current->ended) {
    dir->read_error = dir->current->error;
    dir->Move(Reading::kEnded);
  }
  // The block after it, ahead of the sweep.
  if (dir->reading() == Reading::kBlocks && !dir->current->held) Queue(dir);
}

void ReadAhead::Settle(Directory* dir, const CString* path) {
  Mutex* lock = pool_->mutex();
  if (dir->work() == Work::kQueued) Unqueue(dir);
  while (dir->work() == Work::kBusy) {
    // Waiting for a worker, the sweep does a worker's share meanwhile:
    // where the processors, not the file system, hold the workers back,
    // a piece is a moment's work.
    Directory* other = pool_->blocked() ? nullptr : static_cast<Directory*>(Take());
    if (!other) {
      pool_->WaitForProgress(dir);
      continue;
    }
    lock->Unlock();
    Run(other, nullptr, false);
    lock->Lock();
    Done(other, true);
  }
  if (dir->work() != Work::kNone) return;
  // Nobody has taken it: the sweep reads it itself.
  dir->Move(Work::kBusy);
  // Until a worker runs, the sweep's own readings are timed as a worker's
  // are: they tell whether the file system keeps threads waiting, and
  // where it does, workers start, many at once. The starting directory's
  // reading closes a window of its own, so that they are many from the
  // start where its one reading tells it.
  bool timing = pool_->TimesTheSweep();
  lock->Unlock();
  if (timing) sweep_timing_.Start();
  Run(dir, path, true);
  bool timed = timing && sweep_timing_.End(!dir->parent);
  lock->Lock();
  if (timed) sweep_timing_.Adapted(pool_->Adapt(sweep_timing_));
  Done(dir, false);
}

bool ReadAhead::Queue(Directory* dir, NearestFirst::iterator* at, bool after) {
  if (stopped_) return false;
  // Deeper than the single-threaded sweep is sure to reach, a directory is
  // not opened ahead, nor anything removed from it: the sweep opens it as
  // it comes, every level above it held, and fails where that one would.
  if (!dir->listing && dir->depth > unheld_above_) return false;
  try {
    // Nothing lies between two subdirectories of one block yet: each goes
    // right after the one before, put there rather than searched for.
    NearestFirst::iterator place =
        after ? queue_.insert(std::next(*at), dir) : queue_.insert(dir).first;
    if (at) *at = place;
  } catch (const std::bad_alloc&) {
    // Left for the sweep, which reads it as it comes to it.
    stopped_ = true;
    return false;
  }
  dir->Move(Work::kQueued);
  pool_->WakeWorker(ForWorkers());
  return true;
}

void ReadAhead::QueueBelow(Block* block) {
  NearestFirst::iterator at;
  bool after = false;
  for (Item& item : block->items) {
    if (item.below && Queue(item.below.get(), &at, after)) after = true;
  }
}

void ReadAhead::Unqueue(Directory* dir) {
  // Most often the nearest, which the sweep has come to: found without a
  // search, each step of which walks both directories' paths.
  NearestFirst::iterator at = queue_.begin();
  if (*at != dir) at = queue_.find(dir);
  queue_.erase(at);
  dir->Move(Work::kNone);
}

size_t ReadAhead::ForWorkers() const {
  // The only piece waiting is the sweep's next. Unless the file system
  // makes the workers wait, the sweep reads it itself, as it comes to it,
  // sooner than through a hand-over: along a chain of directories, where
  // each is found only once its parent is read, nothing is handed over.
  if (queue_.size() < 2 && !pool_->blocked()) return 0;
  return queue_.size();
}

Job* ReadAhead::Take() {
  if (!pool_ || stopped_ || ForWorkers() == 0 || reader_.Stopped()) return nullptr;
  if (!budget_.Fits(BlockReader::kGrantStep)) return nullptr;
  Directory* dir = *queue_.begin();
  bool opens = dir->handle() == Handle::kNone;
  if (opens && budget_.handles() >= budget_.max_handles()) return nullptr;
  queue_.erase(queue_.begin());
  dir->Move(Work::kBusy);
  ++busy_;
  budget_.Count(BlockReader::kGrantStep);
  dir->granted = BlockReader::kGrantStep;
  if (opens) dir->Move(Handle::kOpening, &budget_);
  // Room to open its subdirectories, should it be read whole: not where the
  // file system keeps the workers waiting, as several workers opening them
  // keep more requests in flight than one opening them in turn.
  if (dir->read == 0 && dir->depth < unheld_above_ && !pool_->blocked()) {
    dir->set_aside = static_cast<uint32_t>(
        std::min(budget_.free_handles(), static_cast<size_t>(BlockReader::kOpenedBelow)));
    budget_.CountHandles(dir->set_aside);
  }
  dir->fresh = SpareBlock();
  return dir;
}

void ReadAhead::Run(Job* job) { Run(static_cast<Directory*>(job), nullptr, false); }

void ReadAhead::Done(Job* job) { Done(static_cast<Directory*>(job), true); }

void ReadAhead::Run(Directory* dir, const CString* known_path, bool sweep) {
  try {
    // The text is built only where it is used: where the platform opens
    // by it, or for the lines of files removed ahead.
    CString built;
    const CString* path = known_path ? known_path : &built;
    if (!known_path && fs_->OpensByPath()) dir->PathOf(start_, fs_->separator(), &built);
    // Its first block: nothing has been opened or removed through its
    // listing, if it has one yet.
    bool first = dir->read == 0;
    if (!dir->listing) {
      Listing* parent = nullptr;
      if (dir->parent) {
        // A parent closed ahead is opened again only for the sweep, which
        // is in it; a worker leaves the directory to the sweep.
        parent = sweep ? ListingOf(dir->parent) : dir->parent->listing.get();
        if (!parent) {
          dir->open_error = sweep ? dir->parent->open_error : 0;
          return;
        }
      }
      dir->listing = OpenThrough(dir, parent, path, sweep, &dir->open_error);
      if (!dir->listing) return;
      dir->open_error = 0;
      dir->Move(sweep ? Handle::kOwn : Handle::kAhead, nullptr);
    }
    if (dir->fresh)
      dir->ahead = std::move(dir->fresh);
    else
      dir->ahead.reset(new Block);
    uint32_t from = dir->read;
    reader_.Read(dir, dir->ahead.get(), !sweep);
    if (!sweep && dir->read == from && !dir->ahead->ended) {
      // No room in the budget for a single entry: the directory is left to
      // the sweep, as it comes to it. A block of nothing would pass for its
      // first, and the next one for its first again.
      dir->fresh = std::move(dir->ahead);
      return;
    }
    // A block the sweep reads itself it reads as it goes: its files are
    // removed as it comes to them.
    if (remove_ahead_ && !sweep) reader_.RemoveAhead(dir, dir->ahead.get(), &built);
    // Read whole in this piece, a directory has had nothing opened or
    // removed through its listing but here, and the sweep is not in it yet:
    // this block tells all the listing is still wanted for. Where it could
    // not run short of handles, the sweep enters it without its listing.
    // Where the file system keeps the workers waiting (a network one), it
    // keeps little for a reading, and letting go of it costs two calls.
    if (!sweep && first && dir->ahead->ended)
      reader_.CloseWhole(dir, dir->depth < unheld_above_, !pool_->blocked_lately());
  } catch (const std::bad_alloc&) {
    // What was read stays; the rest is the sweep's, as it goes.
    stopped_ = true;
  }
}

void ReadAhead::Done(Directory* dir, bool worker) {
  if (worker) --busy_;
  Work to = Work::kDone;
  budget_.DiscountHandles(dir->set_aside);
  dir->set_aside = 0;
  if (dir->handle() == Handle::kOpening) dir->Move(Handle::kNone, &budget_);
  if (dir->handle() == Handle::kClosing) dir->Move(Handle::kClosed, &budget_);
  if (worker && !dir->listing && fs_->OutOfHandles(dir->open_error)) {
    // Fewer at a time from now on, never more: the sweep may have given
    // every handle back meanwhile; it opens this one itself.
    budget_.LimitHandles(budget_.handles() / 2);
    dir->open_error = 0;
    to = Work::kNone;
  }
  // Nothing read: it is the sweep's to read as it comes to it.
  if (worker && dir->listing && !dir->ahead) to = Work::kNone;
  dir->Move(to);
  if (dir->fresh) Spare(&dir->fresh);  // not read into
  if (dir->ahead) {
    dir->ahead->counted = dir->ahead->Cost() + (dir->listing ? dir->listing->Cost() : 0);
    budget_.Count(dir->ahead->counted);
  }
  // What it was granted gives way to what it costs.
  Discount(dir->granted);
  dir->granted = 0;
  if (dir->ahead) QueueBelow(dir->ahead.get());
  pool_->Progress(dir);
}

bool ReadAhead::Busy(Directory* dir) {
  return dir->work() == Work::kBusy || AnyBelow(dir, [this](Directory* below) { return Busy(below); });
}

void ReadAhead::Discount(size_t cost) {
  // Workers that found no room wait for work: there is room again.
  if (budget_.Discount(cost)) pool_->WakeWorker(ForWorkers());
}

void ReadAhead::Forget(Directory* dir, bool left) {
  if (dir->visit() == Visit::kLeft) return;
  if (left) dir->Move(Visit::kLeft);
  if (dir->work() == Work::kQueued) Unqueue(dir);
  if (dir->handle() == Handle::kAhead) {
    dir->listing.reset();
    dir->Move(Handle::kNone, &budget_);
  }
  AnyBelow(dir, [this](Directory* below) { return Forget(below, true), false; });
  if (dir->current) {
    Discount(dir->current->lines_counted);
    dir->current->lines_counted = 0;
  }
  if (dir->ahead) {
    Discount(dir->ahead->counted + dir->ahead->lines_counted);
    dir->ahead->counted = dir->ahead->lines_counted = 0;
  }
}

void ReadAhead::Close(Directory* dir) {
  if (Unheld(dir)) --unheld_on_path_;
  if (pool_) {
    {
      Locked locked(pool_->mutex());
      // What is read below it is read through its listing.
      while (Busy(dir)) pool_->WaitForProgress();
      Forget(dir, true);
      if (deepest_ == dir) deepest_ = dir->parent;
      // Swept to its end: nothing of it is told late.
      if (dir->current && dir->reading() == Reading::kEnded &&
          dir->next == dir->current->items.size() && !dir->current->held)
        Spare(&dir->current);
    }
    // Left behind an interrupted sweep: files removed ahead are told still.
    WriteLate(dir);
  }
  delete dir;
}

void ReadAhead::Spare(std::unique_ptr<Block>* block) {
  Block* b = block->get();
  if (spare_.Keep(block)) budget_.Count(b->SpareCost());
}

std::unique_ptr<Block> ReadAhead::SpareBlock() {
  std::unique_ptr<Block> block = spare_.Take();
  if (block) Discount(block->SpareCost());
  return block;
}
