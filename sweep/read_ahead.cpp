#include "sweep/read_ahead.h"

#include <string.h>

#include <new>

#include "sweep/removal_queue.h"
#include "sweep/sweep.h"

namespace {

// A block holds about this much of names: a few hundred entries, so that a
// wide directory is read in steps and one of a million entries takes the
// memory of one of a thousand.
const size_t kBlockBytes = 16 << 10;

// What a directory waiting in the queue costs there: a node of the set.
const size_t kQueuedBytes = 6 * sizeof(void*);

}  // namespace

Directory::Directory(ReadAhead* owner, Directory* parent, uint32_t index, const DirEntry& entry)
    : owner_(owner),
      parent_(parent),
      index_(index),
      depth_(parent ? parent->depth_ + 1 : 0),
      name_(entry.name ? entry.name : ""),
      attributes_(entry.attributes),
      id_(entry.id) {}

Directory::~Directory() {
  if (state_ != kForgotten) owner_->Close(this);
}

void Directory::Clear() {
  items_.clear();
  std::vector<Item>().swap(items_);
  std::string().swap(names_);
  next_ = 0;
}

size_t Directory::Cost() const {
  size_t cost = sizeof *this + name_.capacity() + names_.capacity() +
                items_.capacity() * sizeof(Item);
  for (const Item& item : items_) {
    if (item.below) cost += sizeof(Directory) + item.below->name_.capacity() + kQueuedBytes;
  }
  return listing_ ? cost + listing_->Cost() : cost;
}

bool Directory::Read(DirEntry* entry) {
  last_.reset();
  if (next_ == items_.size()) {
    if (held_) {
      held_ = false;
      *entry = held_entry_;
      return true;
    }
    if (ended_) return false;
    if (owner_->ReadsAhead()) {
      owner_->FillHere(this);
      return Read(entry);
    }
    // Reading as it goes, straight from the listing, as the one-thread sweep.
    if (listing_->Read(entry)) return true;
    ended_ = true;
    error_ = listing_->error();
    return false;
  }
  Item& item = items_[next_++];
  entry->name = names_.data() + item.name;
  entry->attributes = item.attributes;
  entry->id = item.id;
  last_ = std::move(item.below);
  return true;
}

ReadAhead::ReadAhead(FileSystem* fs, RemovalQueue* removals)
    : fs_(fs),
      removals_(removals),
      mutex_(removals ? &removals->mutex_ : nullptr),
      budget_(removals ? &removals->budget_ : nullptr) {}

ReadAhead::~ReadAhead() = default;

bool ReadAhead::Nearer::operator()(const Directory* a, const Directory* b) const {
  // Depth-first order: bring both to one depth; below the first parent they
  // share, the one listed first comes first, and an ancestor before all below it.
  const Directory* x = a;
  const Directory* y = b;
  while (x->depth_ > y->depth_) x = x->parent_;
  while (y->depth_ > x->depth_) y = y->parent_;
  if (x == y) return a->depth_ < b->depth_;
  while (x->parent_ != y->parent_) {
    x = x->parent_;
    y = y->parent_;
  }
  return x->index_ < y->index_;
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
  bool ahead = false;
  if (removals_) {
    Locked locked(mutex_);
    if (dir->state_ == Directory::kQueued) queue_.erase(dir.get());
    while (dir->state_ == Directory::kReading) removals_->WaitForProgress();
    if (dir->state_ == Directory::kRead) {
      Uncount(dir.get());
      ahead = true;
      if (dir->listing_) --budget_->handles;
    }
    dir->state_ = Directory::kTaken;
    deepest_ = dir.get();
  }
  if (ahead && !dir->listing_ && !fs_->OutOfHandles(dir->open_error_)) {
    *error = dir->open_error_;
    return nullptr;
  }
  if (!dir->listing_) {
    dir->listing_ = OpenHere(parent, entry, path, error);
    if (!dir->listing_) return nullptr;
  }
  return dir;
}

std::unique_ptr<Listing> ReadAhead::OpenHere(Directory* parent, const DirEntry* entry,
                                             const CString& path, int* error) {
  Listing* in = parent ? parent->listing() : nullptr;
  std::unique_ptr<Listing> listing = fs_->OpenListing(in, entry, path, error);
  // Directories held open ahead are ours, not the tree's: with them closed
  // the outcome is the one-thread sweep's.
  if (!listing && fs_->OutOfHandles(*error) && GiveBackHandles())
    listing = fs_->OpenListing(in, entry, path, error);
  return listing;
}

void ReadAhead::Stop() {
  if (!removals_) return;
  Locked locked(mutex_);
  stopped_ = true;
  for (Directory* dir : queue_) dir->state_ = Directory::kWaiting;
  queue_.clear();
}

void ReadAhead::Fill(Directory* dir) {
  dir->Clear();
  DirEntry entry;
  while (dir->names_.size() < kBlockBytes) {
    if (!dir->listing_->Read(&entry)) {
      dir->ended_ = true;
      dir->error_ = dir->listing_->error();
      return;
    }
    try {
      size_t length = strlen(entry.name);
      std::unique_ptr<Directory> below;
      if (IsSweptDirectory(entry)) below.reset(new Directory(this, dir, dir->read_, entry));
      dir->items_.push_back({dir->names_.size(), entry.attributes, entry.id, std::move(below)});
      try {
        dir->names_.append(entry.name, length + 1);
      } catch (...) {
        dir->items_.pop_back();
        throw;
      }
    } catch (const std::bad_alloc&) {
      // The entry is still the listing's until its next read.
      dir->held_ = true;
      dir->held_entry_ = entry;
      ++dir->read_;
      throw;
    }
    ++dir->read_;
  }
}

void ReadAhead::FillHere(Directory* dir) {
  try {
    Fill(dir);
  } catch (const std::bad_alloc&) {
    // What was read is given out as it is, then the listing as it goes.
    removals_->Stop();
    return;
  }
  Locked locked(mutex_);
  Queue(dir);
}

void ReadAhead::Queue(Directory* dir) {
  if (stopped_) return;
  for (Directory::Item& item : dir->items_) {
    if (!item.below) continue;
    try {
      queue_.insert(item.below.get());
    } catch (const std::bad_alloc&) {
      // Left for the sweep to open; nothing more is read ahead.
      stopped_ = true;
      return;
    }
    item.below->state_ = Directory::kQueued;
    removals_->WakeWorker();
  }
}

Directory* ReadAhead::Take() {
  if (stopped_ || queue_.empty() || budget_->Full()) return nullptr;
  Directory* dir = *queue_.begin();
  queue_.erase(queue_.begin());
  dir->state_ = Directory::kReading;
  ++budget_->handles;
  ++reading_;
  return dir;
}

void ReadAhead::PathOf(const Directory* dir, CString* path) const {
  // Without recursion: a worker's stack is small, and a tree may be deep.
  std::vector<const Directory*> chain;
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

void ReadAhead::Read(Directory* dir) {
  try {
    CString path;
    PathOf(dir, &path);
    DirEntry entry;
    entry.name = dir->name_.c_str();
    entry.attributes = dir->attributes_;
    entry.id = dir->id_;
    dir->listing_ = fs_->OpenListing(dir->parent_->listing(), &entry, path, &dir->open_error_);
    if (dir->listing_) Fill(dir);
  } catch (const std::bad_alloc&) {
    // Left for the sweep, which opens it anew; nothing more is read ahead.
    dir->held_ = false;
    dir->ended_ = false;
    dir->read_ = 0;
    dir->Clear();
    dir->listing_.reset();
    dir->open_error_ = 0;
    stopped_ = true;
    dir->state_ = Directory::kWaiting;
  }
}

void ReadAhead::Done(Directory* dir) {
  --reading_;
  if (!dir->listing_) {
    --budget_->handles;
    if (fs_->OutOfHandles(dir->open_error_)) {
      // Fewer at a time from now on; the sweep opens this one itself.
      budget_->max_handles = budget_->handles / 2;
      dir->open_error_ = 0;
      dir->state_ = Directory::kWaiting;
    }
  }
  if (dir->state_ == Directory::kReading) {
    dir->state_ = Directory::kRead;
    dir->counted_ = dir->Cost();
    removals_->Count(dir->counted_);
    Queue(dir);
  }
  removals_->Progress();
}

void ReadAhead::Uncount(Directory* dir) {
  removals_->Discount(dir->counted_);
  dir->counted_ = 0;
}

bool ReadAhead::Busy(const Directory* dir) const {
  if (dir->state_ == Directory::kReading) return true;
  if (dir->state_ == Directory::kForgotten) return false;
  for (size_t i = dir->next_; i < dir->items_.size(); ++i) {
    if (dir->items_[i].below && Busy(dir->items_[i].below.get())) return true;
  }
  return dir->last_ && Busy(dir->last_.get());
}

void ReadAhead::Forget(Directory* dir) {
  if (dir->state_ == Directory::kForgotten) return;
  if (dir->state_ == Directory::kQueued) queue_.erase(dir);
  if (dir->state_ == Directory::kRead) {
    Uncount(dir);
    if (dir->listing_) --budget_->handles;
  }
  dir->state_ = Directory::kForgotten;
  for (size_t i = dir->next_; i < dir->items_.size(); ++i) {
    if (dir->items_[i].below) Forget(dir->items_[i].below.get());
  }
  if (dir->last_) Forget(dir->last_.get());
}

void ReadAhead::Close(Directory* dir) {
  if (!removals_) return;
  if (dir->state_ == Directory::kTaken) {
    // Every file handed over from here goes before its listing closes.
    removals_->Leave(dir);
    if (deepest_ == dir) deepest_ = dir->parent_;
  }
  Locked locked(mutex_);
  // What is read below it is read through its listing.
  while (Busy(dir)) removals_->WaitForProgress();
  Forget(dir);
}

void ReadAhead::Release(Directory* dir) {
  for (size_t i = dir->next_; i < dir->items_.size(); ++i) {
    if (dir->items_[i].below) Forget(dir->items_[i].below.get());
  }
  Uncount(dir);
  --budget_->handles;
  dir->Clear();
  dir->listing_.reset();
  dir->read_ = 0;
  dir->ended_ = false;
  dir->error_ = 0;
  dir->state_ = Directory::kWaiting;
}

bool ReadAhead::GiveBackHandles() {
  if (!removals_) return false;
  Locked locked(mutex_);
  if (budget_->handles == 0) return false;
  // Fewer at a time from now on, so that the next directory short of one
  // does not find them all held again.
  budget_->max_handles = budget_->handles / 2;
  while (reading_ > 0) removals_->WaitForProgress();
  // Every directory read ahead lies below an entry not yet swept of one of
  // the sweep's own directories.
  for (Directory* level = deepest_; level; level = level->parent_) {
    for (size_t i = level->next_; i < level->items_.size(); ++i) {
      Directory* below = level->items_[i].below.get();
      if (below && below->state_ == Directory::kRead && below->listing_) Release(below);
    }
  }
  return true;
}
