// The engine's handles: directories opened through their parent's listing,
// given back when the process runs short of them, and opened again as the
// sweep comes to them, so that the sweep fails where the single-threaded
// sweep would, and nowhere else.
#include <vector>

#include "sweep/read_ahead.h"

std::unique_ptr<Listing> ReadAhead::OpenThrough(const Directory* dir, Listing* parent,
                                                const CString* path, bool give_back,
                                                int* error) {
  CString built;
  if (!path) {
    if (fs_->OpensByPath()) dir->PathOf(start_, fs_->separator(), &built);
    path = &built;
  }
  DirEntry entry = dir->Entry();
  const DirEntry* listed = dir->parent ? &entry : nullptr;
  std::unique_ptr<Listing> listing = fs_->OpenListing(parent, listed, *path, error);
  // Directories held open ahead are ours, not the tree's: with them
  // closed, the outcome is the single-threaded sweep's.
  if (!listing && give_back && fs_->OutOfHandles(*error) && GiveBackHandles())
    listing = fs_->OpenListing(parent, listed, *path, error);
  return listing;
}

Listing* ReadAhead::ListingOf(Directory* dir) {
  if (Unheld(dir) || dir->handle() == Handle::kGivenBack) HoldPath(dir);
  return dir->listing.get();
}

void ReadAhead::HoldPath(Directory* dir) {
  // Each is opened through the one above it: from the top down. Only the
  // directory the sweep enters may have been given back; above it, only
  // those it is in may be closed, never the starting directory.
  std::vector<Directory*> closed;
  uint32_t unheld = 0;
  for (Directory* at = dir; at && (at == dir || unheld < unheld_on_path_); at = at->parent) {
    if (!Unheld(at) && at->handle() != Handle::kGivenBack) continue;
    closed.push_back(at);
    unheld += Unheld(at);
  }
  for (auto it = closed.rbegin(); it != closed.rend(); ++it) Reopen(*it);
}

void ReadAhead::Reopen(Directory* dir) {
  // Opened again by its name, as the single-threaded sweep would open it now.
  if (Unheld(dir)) --unheld_on_path_;
  Listing* parent = dir->parent->listing.get();
  if (!parent) {
    dir->open_error = dir->parent->open_error;
    dir->Move(Handle::kNone, nullptr);
    return;
  }
  dir->listing = OpenThrough(dir, parent, nullptr, true, &dir->open_error);
  dir->Move(dir->listing ? Handle::kOwn : Handle::kNone, nullptr);
}

bool ReadAhead::GiveBackHandles() {
  if (!pool_) return false;
  Locked locked(pool_->mutex());
  // None opened ahead from now on: the outcome is the single-threaded sweep's.
  budget_.LimitHandles(0);
  // A worker opening a directory held a descriptor a moment: try again once it is done.
  bool waited = busy_ > 0;
  while (busy_ > 0) pool_->WaitForProgress();
  size_t before = budget_.handles();
  // Every directory read ahead lies below an entry not yet swept of one of
  // the sweep's own directories.
  for (Directory* level = deepest_; level; level = level->parent)
    AnyBelow(level, [this](Directory* below) { return GiveBack(below), false; });
  return waited || budget_.handles() < before;
}

void ReadAhead::GiveBack(Directory* dir) {
  if (!dir->ahead) {
    // Opened through its parent's and not read yet: it is opened again as
    // it comes.
    if (dir->handle() == Handle::kAhead) {
      dir->listing.reset();
      dir->Move(Handle::kNone, &budget_);
    }
    return;
  }
  for (Item& item : dir->ahead->items) {
    if (item.below) GiveBack(item.below.get());
  }
  // It is opened again when the sweep comes to it. Read only in part, it is
  // then read from its start, past what its one block read ahead held: no
  // position in a listing outlives it everywhere. Not where an entry read
  // is held for want of memory: its name is the listing's.
  if (dir->handle() == Handle::kAhead && !dir->ahead->held) {
    dir->listing.reset();
    dir->Move(Handle::kGivenBack, &budget_);
    if (!dir->ahead->ended) dir->Move(Reading::kResuming);
  }
}

bool ReadAhead::DealtWith(const Directory* dir) const {
  // Where the workers wait for the file system, a directory read whole is
  // kept open for its subdirectories, opened by several workers at once.
  // Once its every file is gone and its every subdirectory opened, nothing
  // more is done through it: the sweep enters it as one closed ahead, and
  // goes by its subdirectories' own checks rather than ask where it stands.
  if (!pool_->blocked() || dir->work() != Work::kDone || !dir->ahead || !dir->ahead->ended ||
      dir->ahead->held || dir->depth >= unheld_above_)
    return false;
  for (const Item& item : dir->ahead->items) {
    if (item.StillToRemove()) return false;
    const Directory* below = item.below.get();
    // A busy one may be opening it through this listing still.
    if (below && (below->work() == Work::kBusy ||
                  (below->handle() != Handle::kAhead && below->handle() != Handle::kClosed)))
      return false;
  }
  return true;
}
