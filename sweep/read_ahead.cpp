#include "sweep/read_ahead.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "sweep/removal_queue.h"
#include "sweep/sweep.h"

namespace {

// A block covers about this much of names listed: a few hundred entries, so
// that a wide directory is read in steps and one of a million entries takes
// the memory of one of a thousand.
const size_t kBlockBytes = 16 << 10;

// What a block may cost at most, its entries and their directories
// counted: one of a thousand files, or of two hundred directories, so that
// one of names that cost little to list but much to keep is cut short too.
const size_t kBlockCost = 64 << 10;

// The longest name a listing gives, in bytes: 255 on most file systems,
// 1024 through FUSE, 255 UTF-16 units (765 bytes) on Windows. Room for the
// next entry is made as if it were this long.
const size_t kLongestName = 1024;

// Counted in the budget at once for a block a worker reads, and added in
// steps at least this large as it grows: most directories need no more.
const size_t kGrantStep = 8 << 10;

// What a block's first allocation holds: the entries a directory of common
// size has that the sweep does something with.
const size_t kItemsAtOnce = 16;
const size_t kNameAtOnce = 16;

// Spare blocks kept at most, and the room one may keep.
const size_t kSpareBlocks = 32;
const size_t kSpareItems = 4 * kItemsAtOnce;
const size_t kSpareBytes = 4 << 10;

// Subdirectories of a directory read whole opened at once at most.
const size_t kOpenedBelow = 8;

// Handles the process may hold besides the sweep's levels and those opened
// ahead: the standard streams are counted already.
const size_t kHandlesElsewhere = 8;

// What a directory waiting in the queue costs there: a node of the set.
const size_t kQueuedBytes = 6 * sizeof(void*);

// What a subdirectory in a block costs, its name taking `name_room`: its
// Directory and its place in the queue. Its listing, once open, apart.
size_t BelowCost(size_t name_room) { return sizeof(Directory) + name_room + kQueuedBytes; }

// What a file's lines take besides two copies of its path: "removing ",
// "Unable to remove ", ", error " with the largest code, and the ends.
const size_t kLinesBesidePath = 64;

// A file the sweep removes: as the sweep tells one from a directory.
bool IsWantedFile(const DirEntry& entry, const CString& wanted) {
  return !(entry.attributes & kAttrDirectory) && MatchesExtension(entry.name, wanted);
}

}  // namespace

Directory::Directory(ReadAhead* owner, Directory* parent, uint32_t index, const DirEntry& entry)
    : owner_(owner),
      parent_(parent),
      index_(index),
      depth_(parent ? parent->depth_ + 1 : 0),
      name_(entry.name ? entry.name : ""),
      attributes_(entry.attributes),
      id_(entry.id) {}

DirEntry Directory::Entry() const {
  DirEntry entry;
  entry.name = name_.c_str();
  entry.attributes = attributes_;
  entry.id = id_;
  return entry;
}

Directory::~Directory() {
  if (!forgotten_) owner_->Close(this);
}

size_t Directory::Block::Cost() const {
  // Its lines are counted apart, as long as the block lives.
  size_t cost = sizeof *this + names.capacity() + items.capacity() * sizeof(Item);
  for (const Item& item : items) {
    if (!item.below) continue;
    cost += BelowCost(item.below->name_.capacity());
    if (item.below->listing_) cost += item.below->listing_->Cost();
  }
  return cost;
}

void Directory::Block::Clear() {
  names.clear();
  items.clear();
  lines.clear();
  counted = lines_counted = 0;
  ended = held = false;
  error = 0;
}

bool Directory::Read(DirEntry* entry) {
  last_.reset();
  from_block_ = false;
  for (;;) {
    if (current_ && next_ < current_->items.size()) {
      Item& item = current_->items[next_++];
      entry->name = current_->names.data() + item.name;
      entry->attributes = item.attributes;
      entry->id = item.id;
      last_ = std::move(item.below);
      from_block_ = true;
      return true;
    }
    if (current_ && current_->held) {
      current_->held = false;
      *entry = current_->held_entry;
      return true;
    }
    if (ended_) {
      error_ = read_error_;
      return false;
    }
    if (owner_->ReadsAsItGoes(this)) {
      // Reading as it goes, straight from the listing, as the one-thread sweep.
      if (listing_->Read(entry)) {
        ++read_;
        if (resumes_ && Passed(entry->name)) continue;
        return true;
      }
      ended_ = true;
      read_error_ = listing_->error();
      continue;
    }
    owner_->NextBlock(this);
  }
}

bool Directory::Passed(const char* name) {
  auto before = [](const char* a, const char* b) { return strcmp(a, b) < 0; };
  if (passed_.empty() && current_) {
    passed_.reserve(current_->items.size());
    for (const Item& item : current_->items) passed_.push_back(current_->names.data() + item.name);
    std::sort(passed_.begin(), passed_.end(), before);
  }
  return std::binary_search(passed_.begin(), passed_.end(), name, before);
}

bool Directory::Matches(const DirEntry& entry, const CString& wanted) const {
  if (from_block_) return current_->items[next_ - 1].matches;
  return IsWantedFile(entry, wanted);
}

bool Directory::RemovedAhead(Output* out, uint32_t* count, bool* failed) {
  if (!from_block_) return false;
  const Item& item = current_->items[next_ - 1];
  if (item.outcome == kNotRemoved) return false;
  out->Write(current_->lines.data() + item.lines, item.lines_end - item.lines);
  if (item.outcome == kCounted) ++*count;
  if (item.failed) *failed = true;
  return true;
}

ReadAhead::ReadAhead(FileSystem* fs, const CString& wanted, Output* out,
                     const std::atomic<int>* interrupted)
    : fs_(fs), wanted_(wanted), out_(out), interrupted_(interrupted) {}

ReadAhead::~ReadAhead() = default;

void ReadAhead::Start(RemovalQueue* workers, bool remove_ahead) {
  Locked locked(&workers->mutex_);
  workers_ = workers;
  budget_ = &workers->budget_;
  remove_ahead_ = remove_ahead;
  // The sweep's own levels need the rest: a quarter of what the process may
  // hold is read ahead at most.
  budget_->max_handles = std::min(budget_->max_handles, fs_->HandleLimit() / 4);
  // A level closed ahead holds no handle while the sweep is in it: only as
  // deep as the one-thread sweep could not run short of them, a few left
  // for whatever else opens one for a moment.
  size_t free = fs_->HandlesFree();
  if (free != SIZE_MAX) unheld_above_ = free > kHandlesElsewhere ? free - kHandlesElsewhere : 0;
  try {
    spare_.reserve(kSpareBlocks);
  } catch (const std::bad_alloc&) {
    // Then none are kept.
  }
}

bool ReadAhead::Nearer::operator()(const Directory* a, const Directory* b) const {
  // Depth-first order of the places where the two blocks start: "before
  // entry i" is 2i, "inside the subtree of entry i" 2i + 1. Both are brought
  // up to the level where they part.
  uint64_t at_a = 2 * uint64_t(a->read_);
  uint64_t at_b = 2 * uint64_t(b->read_);
  while (a->depth_ > b->depth_) {
    at_a = 2 * uint64_t(a->index_) + 1;
    a = a->parent_;
  }
  while (b->depth_ > a->depth_) {
    at_b = 2 * uint64_t(b->index_) + 1;
    b = b->parent_;
  }
  while (a != b) {
    at_a = 2 * uint64_t(a->index_) + 1;
    a = a->parent_;
    at_b = 2 * uint64_t(b->index_) + 1;
    b = b->parent_;
  }
  return at_a < at_b;
}

std::unique_ptr<Directory> ReadAhead::Open(Directory* parent, const DirEntry* entry,
                                           const CString& path, int* error) {
  std::unique_ptr<Directory> dir;
  if (parent) dir = std::move(parent->last_);
  if (!dir) {
    DirEntry start;
    dir.reset(new Directory(this, parent, parent ? parent->read_ : 0, entry ? *entry : start));
    if (!parent) start_ = path;
  }
  if (!workers_) {
    // Alone, the sweep opens each directory as it comes to it.
    dir->taken_ = true;
    dir->listing_ = fs_->OpenListing(parent ? parent->listing() : nullptr, entry, path, error);
    return dir->listing_ ? std::move(dir) : nullptr;
  }
  // Where it might run short of handles, the sweep holds every level it is
  // in, as the one-thread sweep does: what it opens there fails as that
  // one's would.
  if (dir->depth_ >= unheld_above_ && unheld_on_path_ > 0) HoldPath(parent);
  bool opened;
  {
    Locked locked(&workers_->mutex_);
    dir->taken_ = true;
    Settle(dir.get(), &path);
    if (dir->counted_handle_) {
      --budget_->handles;
      dir->counted_handle_ = false;
    }
    opened = dir->listing_ || dir->released_ || dir->finished_;
    if (!opened) {
      *error = dir->open_error_;
      // Not opened for want of memory, or left to the sweep: it is opened
      // as it comes, below.
      if (*error == 0) dir->work_ = Directory::kNone;
    } else {
      TakeBlock(dir.get());
      deepest_ = dir.get();
    }
  }
  if (!opened && *error == 0) {
    Listing* through = parent ? ListingOf(parent) : nullptr;
    if (parent && !through) {
      *error = parent->open_error_;
    } else {
      dir->listing_ = OpenThrough(dir.get(), through, &path, true, error);
      opened = dir->listing_ != nullptr;
    }
  }
  // Given back for want of descriptors, it is opened again now that the
  // sweep is in it, by its name, as the one-thread sweep opens it only now.
  // What was removed from it ahead is still told as it closes.
  if (opened && !dir->finished_ && !ListingOf(dir.get())) {
    *error = dir->open_error_;
    opened = false;
  }
  if (opened && !dir->listing_) {
    dir->unheld_ = true;
    ++unheld_on_path_;
  }
  // Closed, if it was not opened, without the lock.
  return opened ? std::move(dir) : nullptr;
}

bool ReadAhead::ReadsAsItGoes(Directory* dir) {
  if (!workers_ || dir->resumes_) return true;
  if (!stopped_) return false;
  // Stopped, but for a block a worker may still be reading.
  Locked locked(&workers_->mutex_);
  return dir->work_ == Directory::kNone;
}

void ReadAhead::NextBlock(Directory* dir) {
  Locked locked(&workers_->mutex_);
  Settle(dir, nullptr);
  if (dir->current_) Discount(dir->current_->lines_counted);
  TakeBlock(dir);
}

void ReadAhead::TakeBlock(Directory* dir) {
  if (dir->current_) Spare(&dir->current_);
  dir->current_ = std::move(dir->ahead_);
  dir->next_ = 0;
  dir->work_ = Directory::kNone;
  if (!dir->current_) return;  // memory ran short: the sweep reads as it goes
  Discount(dir->current_->counted);
  dir->current_->counted = 0;
  dir->ended_ = dir->current_->ended;
  dir->read_error_ = dir->current_->error;
  // The block after it, ahead of the sweep.
  if (!dir->ended_ && !dir->current_->held && !dir->resumes_) Queue(dir);
}

void ReadAhead::Settle(Directory* dir, const CString* path) {
  if (dir->work_ == Directory::kQueued) {
    queue_.erase(dir);
    dir->work_ = Directory::kNone;
  }
  while (dir->work_ == Directory::kBusy) {
    // Waiting for a worker, the sweep does a worker's share meanwhile:
    // where the processors, not the file system, hold the workers back,
    // a piece is a moment's work.
    Directory* other = workers_->blocked_ ? nullptr : Take();
    if (!other) {
      workers_->WaitForProgress(dir);
      continue;
    }
    workers_->mutex_.Unlock();
    Run(other, nullptr, false);
    workers_->mutex_.Lock();
    Done(other, true);
  }
  if (dir->work_ == Directory::kNone) {
    // Nobody has taken it: the sweep reads it itself.
    dir->work_ = Directory::kBusy;
    workers_->mutex_.Unlock();
    // The starting directory is read before any worker has read a thing:
    // timed, it tells at once whether the file system keeps them waiting,
    // and where it does, they are many from the start.
    if (dir->parent_)
      Run(dir, path, true);
    else
      workers_->RunTimed(dir, path);
    workers_->mutex_.Lock();
    Done(dir, false);
  }
}

ReadAhead::Queued ReadAhead::Queue(Directory* dir, const Queued* after) {
  if (stopped_) return queue_.end();
  // Deeper than the one-thread sweep is sure to reach, a directory is not
  // opened ahead, nor anything removed from it: the sweep opens it as it
  // comes, every level above it held, and fails where that one would.
  if (!dir->listing_ && dir->depth_ > unheld_above_) return queue_.end();
  Queued at;
  try {
    at = after ? queue_.insert(std::next(*after), dir) : queue_.insert(dir).first;
  } catch (const std::bad_alloc&) {
    // Left for the sweep, which reads it as it comes to it.
    stopped_ = true;
    return queue_.end();
  }
  dir->work_ = Directory::kQueued;
  workers_->WakeWorker(ForWorkers());
  return at;
}

void ReadAhead::QueueBelow(Directory::Block* block) {
  // Nothing lies between two subdirectories of one block yet: each goes
  // right after the one before, put there rather than searched for.
  Queued at = queue_.end();
  for (Directory::Item& item : block->items) {
    if (item.below) at = Queue(item.below.get(), at == queue_.end() ? nullptr : &at);
  }
}

size_t ReadAhead::ForWorkers() const {
  // The only piece waiting is the sweep's next. Unless the file system
  // makes the workers wait, the sweep reads it itself, as it comes to it,
  // sooner than through a hand-over: along a chain of directories, where
  // each is found only once its parent is read, nothing is handed over.
  if (queue_.size() < 2 && !workers_->blocked_) return 0;
  return queue_.size();
}

Directory* ReadAhead::Take() {
  if (!workers_ || stopped_ || ForWorkers() == 0) return nullptr;
  if (interrupted_ && interrupted_->load(std::memory_order_relaxed)) return nullptr;
  if (!budget_->Fits(kGrantStep)) return nullptr;
  Directory* dir = *queue_.begin();
  bool opens = !dir->listing_ && !dir->taken_;
  if (opens && budget_->handles >= budget_->max_handles) return nullptr;
  queue_.erase(queue_.begin());
  dir->work_ = Directory::kBusy;
  ++busy_;
  budget_->Count(kGrantStep);
  dir->granted_ = kGrantStep;
  if (opens) {
    ++budget_->handles;
    dir->counted_handle_ = true;
  }
  // Room to open its subdirectories, should it be read whole: not where the
  // file system keeps the workers waiting, as several workers opening them
  // keep more requests in flight than one opening them in turn.
  if (dir->read_ == 0 && dir->depth_ < unheld_above_ && !workers_->blocked_) {
    size_t room =
        budget_->max_handles > budget_->handles ? budget_->max_handles - budget_->handles : 0;
    dir->set_aside_ = static_cast<uint32_t>(std::min(room, kOpenedBelow));
    budget_->handles += dir->set_aside_;
  }
  dir->fresh_ = SpareBlock();
  return dir;
}

void ReadAhead::Spare(std::unique_ptr<Directory::Block>* block) {
  Directory::Block* b = block->get();
  if (spare_.size() == spare_.capacity() || b->items.capacity() < kItemsAtOnce ||
      b->items.capacity() > kSpareItems || b->names.capacity() > kSpareBytes)
    return;
  b->Clear();
  if (b->lines.capacity() > kSpareBytes) std::string().swap(b->lines);
  budget_->Count(b->SpareCost());
  spare_.push_back(std::move(*block));  // within what was reserved
}

std::unique_ptr<Directory::Block> ReadAhead::SpareBlock() {
  if (spare_.empty()) return nullptr;
  std::unique_ptr<Directory::Block> block = std::move(spare_.back());
  spare_.pop_back();
  Discount(block->SpareCost());
  return block;
}

void ReadAhead::PathOf(const Directory* dir, CString* path) const {
  // Without recursion: a worker's stack is small, and a tree may be deep.
  std::vector<const Directory*> chain;
  chain.reserve(dir->depth_);
  int length = start_.GetLength();
  for (; dir->parent_; dir = dir->parent_) {
    chain.push_back(dir);
    length += 1 + static_cast<int>(dir->name_.size());
  }
  path->Preallocate(length);
  *path = start_;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    *path += fs_->separator();
    *path += (*it)->name_.c_str();
  }
}

std::unique_ptr<Listing> ReadAhead::OpenThrough(const Directory* dir, Listing* parent,
                                                const CString* path, bool give_back,
                                                int* error) {
  CString built;
  if (!path) {
    if (fs_->OpensByPath()) PathOf(dir, &built);
    path = &built;
  }
  DirEntry entry = dir->Entry();
  const DirEntry* listed = dir->parent_ ? &entry : nullptr;
  std::unique_ptr<Listing> listing = fs_->OpenListing(parent, listed, *path, error);
  // Directories held open ahead are ours, not the tree's: with them
  // closed, the outcome is the one-thread sweep's.
  if (!listing && give_back && fs_->OutOfHandles(*error) && GiveBackHandles())
    listing = fs_->OpenListing(parent, listed, *path, error);
  return listing;
}

Listing* ReadAhead::ListingOf(Directory* dir) {
  if (dir->unheld_ || dir->released_) HoldPath(dir);
  return dir->listing_.get();
}

void ReadAhead::HoldPath(Directory* dir) {
  // Each is opened through the one above it: from the top down. Only the
  // directory the sweep enters may have been given back; above it, only
  // those it is in may be closed, never the starting directory.
  std::vector<Directory*> closed;
  uint32_t unheld = 0;
  for (Directory* at = dir; at && (at == dir || unheld < unheld_on_path_); at = at->parent_) {
    if (!at->unheld_ && !at->released_) continue;
    closed.push_back(at);
    unheld += at->unheld_;
  }
  for (auto it = closed.rbegin(); it != closed.rend(); ++it) Reopen(*it);
}

void ReadAhead::Reopen(Directory* dir) {
  // Opened again by its name, as the one-thread sweep would open it now.
  dir->released_ = false;
  if (dir->unheld_) {
    dir->unheld_ = false;
    --unheld_on_path_;
  }
  Listing* parent = dir->parent_->listing();
  if (!parent) {
    dir->open_error_ = dir->parent_->open_error_;
    return;
  }
  dir->listing_ = OpenThrough(dir, parent, nullptr, true, &dir->open_error_);
}

void ReadAhead::Run(Directory* dir, const CString* known_path, bool sweep) {
  try {
    // The text is built only where it is used: where the platform opens
    // by it, or for the lines of files removed ahead.
    CString built;
    const CString* path = known_path ? known_path : &built;
    if (!known_path && fs_->OpensByPath()) PathOf(dir, &built);
    // Its first block: nothing has been opened or removed through its
    // listing, if it has one yet.
    bool first = dir->read_ == 0;
    if (!dir->listing_) {
      Listing* parent = nullptr;
      if (dir->parent_) {
        // A parent closed ahead is opened again only for the sweep, which
        // is in it; a worker leaves the directory to the sweep.
        parent = sweep ? ListingOf(dir->parent_) : dir->parent_->listing();
        if (!parent) {
          dir->open_error_ = sweep ? dir->parent_->open_error_ : 0;
          return;
        }
      }
      dir->listing_ = OpenThrough(dir, parent, path, sweep, &dir->open_error_);
      if (!dir->listing_) return;
      dir->open_error_ = 0;
    }
    if (dir->fresh_)
      dir->ahead_ = std::move(dir->fresh_);
    else
      dir->ahead_.reset(new Directory::Block);
    uint32_t from = dir->read_;
    ReadBlock(dir, dir->ahead_.get(), !sweep);
    if (!sweep && dir->read_ == from && !dir->ahead_->ended) {
      // No room in the budget for a single entry: the directory is left to
      // the sweep, as it comes to it. A block of nothing would pass for its
      // first, and the next one for its first again.
      dir->fresh_ = std::move(dir->ahead_);
      return;
    }
    // A block the sweep reads itself it reads as it goes: its files are
    // removed as it comes to them.
    if (remove_ahead_ && !sweep) RemoveAhead(dir, dir->ahead_.get(), &built);
    // Read whole in this piece, a directory has had nothing opened or
    // removed through its listing but here, and the sweep is not in it yet:
    // this block tells all the listing is still wanted for. Of a later
    // block that is not so: the sweep, or a worker, may yet open or remove
    // through it for an earlier one.
    if (!sweep && first && dir->ahead_->ended) {
      if (dir->depth_ < unheld_above_ && OpenBelow(dir)) {
        // Nothing left to do through it: closed now, on the thread that
        // read it. What the system keeps for a reading is freed fastest
        // where it was made, and the descriptor is free sooner. Where it
        // is, the sweep could not run short of handles: it enters it
        // without its listing.
        dir->listing_.reset();
        dir->finished_ = true;
      } else {
        // Kept open for what is opened and removed through it: the rest of
        // what the system keeps for it goes here all the same.
        dir->listing_->EndReading();
      }
    }
  } catch (const std::bad_alloc&) {
    // What was read stays; the rest is the sweep's, as it goes.
    stopped_ = true;
  }
}

bool ReadAhead::OpenBelow(Directory* dir) {
  const Directory::Block& block = *dir->ahead_;
  size_t below = 0;
  for (const Directory::Item& item : block.items) {
    // A file to remove through it.
    if (item.matches && item.outcome == Directory::kNotRemoved) return false;
    if (item.below) ++below;
  }
  if (below > dir->set_aside_) return false;
  for (const Directory::Item& item : block.items) {
    Directory* sub = item.below.get();
    if (!sub) continue;
    int error = 0;
    sub->listing_ = OpenThrough(sub, dir->listing(), nullptr, false, &error);
    // The rest are opened as they come, this one too: then its error is
    // the one told.
    if (!sub->listing_) return false;
    sub->counted_handle_ = true;
    --dir->set_aside_;
  }
  return true;
}

void ReadAhead::ReadBlock(Directory* dir, Directory::Block* block, bool ahead) {
  // Room for a directory of common size at once, rather than growing into
  // it step by step. The sweep's own blocks are cut to size once read: one
  // is held at every level it is in.
  block->items.reserve(kItemsAtOnce);
  block->names.reserve(kItemsAtOnce * kNameAtOnce);
  // Before an entry is read, the block is sure of room for it, were it a
  // directory with the longest name: it ends within what it may cost, and
  // a worker's within what the budget holds. What the block would grow to
  // changes only as it keeps an entry.
  size_t below = 0;  // what its subdirectories cost, as Cost() counts them
  size_t items, names, cost;
  auto plan = [&] {
    items = block->items.capacity();
    if (block->items.size() == items) items *= 2;
    names = block->names.capacity();
    if (names - block->names.size() <= kLongestName)
      names = std::max(block->names.size() + kLongestName + 1,
                       std::min(2 * names, kBlockBytes + kLongestName + 1));
    cost = sizeof *block + names + items * sizeof(Directory::Item) + below +
           BelowCost(kLongestName + 1);
  };
  plan();
  DirEntry entry;
  for (size_t listed = 0; listed < kBlockBytes;) {
    if (cost > kBlockCost || (ahead && !Granted(dir, cost + dir->listing_->Cost()))) break;
    if (!dir->listing_->Read(&entry)) {
      block->ended = true;
      block->error = dir->listing_->error();
      if (!ahead) FitToSize(block);
      return;
    }
    size_t length = strlen(entry.name);
    listed += length + 1;
    // Matched once, here: the sweep and the removals ahead both go by it.
    bool matches = IsWantedFile(entry, wanted_);
    bool enters = IsSweptDirectory(entry);
    if (!matches && !enters) {
      // Nothing the sweep would do with it: it is passed over here.
      ++dir->read_;
      continue;
    }
    try {
      // Grown as the room above was counted.
      if (block->items.size() == block->items.capacity()) block->items.reserve(items);
      if (block->names.capacity() - block->names.size() <= length)
        block->names.reserve(std::max(names, block->names.size() + length + 1));
      Directory::Item item;
      item.name = block->names.size();
      item.attributes = entry.attributes;
      item.matches = matches;
      item.id = entry.id;
      if (enters) item.below.reset(new Directory(this, dir, dir->read_, entry));
      block->names.append(entry.name, length + 1);
      if (enters) below += BelowCost(item.below->name_.capacity());
      block->items.push_back(std::move(item));  // within what was reserved
      plan();
    } catch (const std::bad_alloc&) {
      // Nothing of it was kept; the entry is still the listing's until its
      // next read.
      block->held = true;
      block->held_entry = entry;
      ++dir->read_;
      throw;
    }
    ++dir->read_;
  }
}

bool ReadAhead::Granted(Directory* dir, size_t cost) {
  if (cost <= dir->granted_) return true;
  size_t more = std::max(cost - dir->granted_, kGrantStep);
  Locked locked(&workers_->mutex_);
  if (!budget_->Fits(more)) return false;
  budget_->Count(more);
  dir->granted_ += more;
  return true;
}

void ReadAhead::FitToSize(Directory::Block* block) {
  if (2 * block->items.size() < block->items.capacity()) block->items.shrink_to_fit();
  if (2 * block->names.size() < block->names.capacity()) block->names.shrink_to_fit();
}

void ReadAhead::RemoveAhead(Directory* dir, Directory::Block* block, CString* path) {
  // The lines of every file are given room first: no file is removed that
  // could not be told.
  size_t room = 0;
  size_t matches = 0;
  size_t longest = 0;
  for (Directory::Item& item : block->items) {
    if (!item.matches) continue;
    size_t length = strlen(block->names.data() + item.name);
    room += 2 * length;
    ++matches;
    longest = std::max(longest, length);
  }
  if (matches == 0) return;
  if (path->GetLength() == 0) PathOf(dir, path);
  room += matches * (2 * (path->GetLength() + 1) + kLinesBesidePath);
  {
    // Lines wait for the sweep: within the budget, or the files are left
    // for the sweep to remove as it comes to them.
    Locked locked(&workers_->mutex_);
    if (!budget_->Fits(room)) return;
    budget_->Count(room);
    block->lines_counted = room;
  }
  block->lines.reserve(room);
  path->Preallocate(static_cast<int>(path->GetLength() + 1 + longest));

  TextOutput text(&block->lines);
  SweepContext removal;
  removal.fs = fs_;
  removal.out = &text;
  removal.interrupted = interrupted_;
  for (Directory::Item& item : block->items) {
    DirEntry entry;
    entry.name = block->names.data() + item.name;
    entry.attributes = item.attributes;
    if (!item.matches) continue;
    if (removal.Interrupted()) return;
    item.lines = block->lines.size();
    bool counts = RemoveMatchedFile(&removal, dir->listing(), path, entry);
    item.lines_end = block->lines.size();
    item.outcome = counts ? Directory::kCounted : Directory::kNotCounted;
    item.failed = removal.failed;
    removal.failed = false;
  }
}

void ReadAhead::Done(Directory* dir, bool worker) {
  if (worker) --busy_;
  dir->work_ = Directory::kDone;
  budget_->handles -= dir->set_aside_;
  dir->set_aside_ = 0;
  if (dir->counted_handle_ && !dir->listing_) {
    --budget_->handles;
    dir->counted_handle_ = false;
  }
  if (worker && !dir->listing_ && fs_->OutOfHandles(dir->open_error_)) {
    // Fewer at a time from now on, never more: the sweep may have given
    // every handle back meanwhile; it opens this one itself.
    budget_->max_handles = std::min(budget_->max_handles, budget_->handles / 2);
    dir->open_error_ = 0;
    dir->work_ = Directory::kNone;
  }
  // Nothing read: it is the sweep's to read as it comes to it.
  if (worker && dir->listing_ && !dir->ahead_) dir->work_ = Directory::kNone;
  if (dir->fresh_) Spare(&dir->fresh_);  // not read into
  if (dir->ahead_) {
    dir->ahead_->counted = dir->ahead_->Cost() + (dir->listing_ ? dir->listing_->Cost() : 0);
    budget_->Count(dir->ahead_->counted);
  }
  // What it was granted gives way to what it costs.
  Discount(dir->granted_);
  dir->granted_ = 0;
  if (dir->ahead_) QueueBelow(dir->ahead_.get());
  workers_->Progress(dir);
}

bool ReadAhead::Busy(const Directory* dir) const {
  if (dir->work_ == Directory::kBusy) return true;
  if (dir->last_ && Busy(dir->last_.get())) return true;
  if (dir->current_) {
    for (size_t i = dir->next_; i < dir->current_->items.size(); ++i) {
      const Directory* below = dir->current_->items[i].below.get();
      if (below && Busy(below)) return true;
    }
  }
  if (dir->work_ == Directory::kDone && dir->ahead_) {
    for (const Directory::Item& item : dir->ahead_->items) {
      if (item.below && Busy(item.below.get())) return true;
    }
  }
  return false;
}

void ReadAhead::Discount(size_t cost) {
  bool full = budget_->bytes >= budget_->max_bytes;
  budget_->Discount(cost);
  // Workers that found no room wait for work: there is room again.
  if (full && budget_->bytes < budget_->max_bytes) workers_->WakeWorker(ForWorkers());
}

void ReadAhead::Forget(Directory* dir) {
  if (dir->forgotten_) return;
  dir->forgotten_ = true;
  if (dir->work_ == Directory::kQueued) {
    queue_.erase(dir);
    dir->work_ = Directory::kNone;
  }
  if (dir->counted_handle_) {
    --budget_->handles;
    dir->counted_handle_ = false;
  }
  if (dir->last_) Forget(dir->last_.get());
  if (dir->current_) {
    Discount(dir->current_->lines_counted);
    dir->current_->lines_counted = 0;
    for (size_t i = dir->next_; i < dir->current_->items.size(); ++i) {
      if (Directory* below = dir->current_->items[i].below.get()) Forget(below);
    }
  }
  if (dir->ahead_) {
    Discount(dir->ahead_->counted + dir->ahead_->lines_counted);
    dir->ahead_->counted = dir->ahead_->lines_counted = 0;
    for (Directory::Item& item : dir->ahead_->items) {
      if (item.below) Forget(item.below.get());
    }
  }
}

void ReadAhead::Close(Directory* dir) {
  if (dir->unheld_) --unheld_on_path_;
  if (!workers_) return;
  {
    Locked locked(&workers_->mutex_);
    // What is read below it is read through its listing.
    while (Busy(dir)) workers_->WaitForProgress();
    Forget(dir);
    if (deepest_ == dir) deepest_ = dir->parent_;
    // Swept to its end: nothing of it is told late.
    if (dir->current_ && dir->ended_ && dir->next_ == dir->current_->items.size() &&
        !dir->current_->held)
      Spare(&dir->current_);
  }
  // Left behind an interrupted sweep: files removed ahead are told still.
  WriteLate(dir);
}

void ReadAhead::WriteLate(Directory* dir) {
  if (dir->last_) WriteLate(dir->last_.get());
  if (dir->current_) WriteLate(dir->current_.get(), dir->next_);
  if (dir->work_ == Directory::kDone && dir->ahead_) WriteLate(dir->ahead_.get(), 0);
}

void ReadAhead::WriteLate(Directory::Block* block, size_t from) {
  for (size_t i = from; i < block->items.size(); ++i) {
    const Directory::Item& item = block->items[i];
    if (item.outcome != Directory::kNotRemoved) {
      out_->Write(block->lines.data() + item.lines, item.lines_end - item.lines);
      if (item.outcome == Directory::kCounted) ++removed_late_;
      if (item.failed) failed_late_ = true;
    }
    if (item.below) WriteLate(item.below.get());
  }
}

bool ReadAhead::GiveBackHandles() {
  if (!workers_) return false;
  Locked locked(&workers_->mutex_);
  // None opened ahead from now on: the outcome is the one-thread sweep's.
  budget_->max_handles = 0;
  // A worker opening a directory held a descriptor a moment: try again once it is done.
  bool waited = busy_ > 0;
  while (busy_ > 0) workers_->WaitForProgress();
  size_t before = budget_->handles;
  // Every directory read ahead lies below an entry not yet swept of one of
  // the sweep's own directories.
  for (Directory* level = deepest_; level; level = level->parent_) {
    if (level->last_) GiveBack(level->last_.get());
    if (level->current_) {
      for (size_t i = level->next_; i < level->current_->items.size(); ++i) {
        if (Directory* below = level->current_->items[i].below.get()) GiveBack(below);
      }
    }
    if (level->work_ == Directory::kDone && level->ahead_) {
      for (Directory::Item& item : level->ahead_->items) {
        if (item.below) GiveBack(item.below.get());
      }
    }
  }
  return waited || budget_->handles < before;
}

void ReadAhead::GiveBack(Directory* dir) {
  if (!dir->ahead_) {
    // Opened through its parent's and not read yet: it is opened again as
    // it comes.
    if (dir->counted_handle_ && dir->listing_) {
      dir->listing_.reset();
      dir->counted_handle_ = false;
      --budget_->handles;
    }
    return;
  }
  for (Directory::Item& item : dir->ahead_->items) {
    if (item.below) GiveBack(item.below.get());
  }
  // It is opened again when the sweep comes to it. Read only in part, it is
  // then read from its start, past what its one block read ahead held: no
  // position in a listing outlives it everywhere. Not where an entry read
  // is held for want of memory: its name is the listing's.
  if (dir->counted_handle_ && dir->listing_ && !dir->ahead_->held) {
    dir->listing_.reset();
    dir->released_ = true;
    dir->resumes_ = !dir->ahead_->ended;
    dir->counted_handle_ = false;
    --budget_->handles;
  }
}
