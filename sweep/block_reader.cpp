#include "sweep/block_reader.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "sweep/output.h"
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

// What a block's first allocation holds: the entries a directory of common
// size has that the sweep does something with.
const size_t kItemsAtOnce = 16;
const size_t kNameAtOnce = 16;

// What a file's lines take besides two copies of its path: "removing ",
// "Unable to remove ", ", error " with the largest code, and the ends.
const size_t kLinesBesidePath = 64;

void FitToSize(Block* block) {
  if (2 * block->items.size() < block->items.capacity()) block->items.shrink_to_fit();
  if (2 * block->names.size() < block->names.capacity()) block->names.shrink_to_fit();
}

}  // namespace

bool BlockReader::Stopped() const {
  return stop_->load(std::memory_order_relaxed) ||
         (interrupted_ && interrupted_->load(std::memory_order_relaxed) != 0);
}

void BlockReader::Read(Directory* dir, Block* block, bool ahead) {
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
    cost = sizeof *block + names + items * sizeof(Item) + below + BelowCost(kLongestName + 1);
  };
  plan();
  DirEntry entry;
  for (size_t listed = 0; listed < kBlockBytes;) {
    if (cost > kBlockCost || (ahead && !Granted(dir, cost + dir->listing->Cost()))) break;
    if (!dir->listing->Read(&entry)) {
      block->ended = true;
      block->error = dir->listing->error();
      if (!ahead) FitToSize(block);
      return;
    }
    size_t length = strlen(entry.name);
    listed += length + 1;
    try {
      // Matched once, here: the sweep and the removals ahead both go by it.
      bool matches =
          !(entry.attributes & kAttrDirectory) && MatchesExtension(entry.name, length, *wanted_);
      bool enters = IsSweptDirectory(entry);
      if (!matches && !enters) {
        // Nothing the sweep would do with it: it is passed over here.
        ++dir->read;
        continue;
      }
      // Grown as the room above was counted.
      if (block->items.size() == block->items.capacity()) block->items.reserve(items);
      if (block->names.capacity() - block->names.size() <= length)
        block->names.reserve(std::max(names, block->names.size() + length + 1));
      Item item;
      item.name = block->names.size();
      item.attributes = entry.attributes;
      item.matches = matches;
      item.id = entry.id;
      if (enters) item.below.reset(new Directory(dir, dir->read, entry));
      block->names.append(entry.name, length + 1);
      if (enters) below += BelowCost(item.below->name.capacity());
      block->items.push_back(std::move(item));  // within what was reserved
      plan();
    } catch (const std::bad_alloc&) {
      // Nothing of it was kept; the entry is still the listing's until its
      // next read.
      block->held = true;
      block->held_entry = entry;
      ++dir->read;
      throw;
    }
    ++dir->read;
  }
}

bool BlockReader::Granted(Directory* dir, size_t cost) {
  if (cost <= dir->granted) return true;
  size_t more = std::max(cost - dir->granted, kGrantStep);
  if (!budget_->Take(more)) return false;
  dir->granted += more;
  return true;
}

void BlockReader::RemoveAhead(Directory* dir, Block* block, CString* path) {
  // The lines of every file are given room first: no file is removed that
  // could not be told.
  size_t room = 0;
  size_t matches = 0;
  size_t longest = 0;
  for (const Item& item : block->items) {
    if (!item.matches) continue;
    size_t length = strlen(block->NameOf(item));
    room += 2 * length;
    ++matches;
    longest = std::max(longest, length);
  }
  if (matches == 0) return;
  if (path->GetLength() == 0) dir->PathOf(*start_, fs_->separator(), path);
  room += matches * (2 * (path->GetLength() + 1) + kLinesBesidePath);
  // Lines wait for the sweep: within the budget, or the files are left for
  // the sweep to remove as it comes to them.
  if (!budget_->Take(room)) return;
  block->lines_counted = room;
  block->lines.reserve(room);
  path->Preallocate(static_cast<int>(path->GetLength() + 1 + longest));

  TextOutput text(&block->lines);
  SweepContext removal;
  removal.fs = fs_;
  removal.out = &text;
  for (Item& item : block->items) {
    if (!item.matches) continue;
    if (Stopped()) return;
    DirEntry entry;
    entry.name = block->NameOf(item);
    entry.attributes = item.attributes;
    item.lines = block->lines.size();
    bool counts = RemoveMatchedFile(&removal, dir->listing.get(), path, entry);
    item.lines_end = block->lines.size();
    item.outcome = counts ? Item::kCounted : Item::kNotCounted;
    item.failed = removal.failed;
    removal.failed = false;
  }
}

bool BlockReader::CloseWhole(Directory* dir, bool may_close, bool lets_go) {
  if (may_close && OpenBelow(dir)) {
    dir->listing.reset();
    dir->Move(Handle::kClosing, nullptr);
    return true;
  }
  // Kept open for what is opened and removed through it: the rest of what
  // the system keeps for it goes here all the same.
  if (lets_go) dir->listing->EndReading();
  return false;
}

bool BlockReader::OpenBelow(Directory* dir) {
  const Block& block = *dir->ahead;
  size_t below = 0;
  for (const Item& item : block.items) {
    if (item.StillToRemove()) return false;
    if (item.below) ++below;
  }
  if (below > dir->set_aside) return false;
  for (const Item& item : block.items) {
    Directory* sub = item.below.get();
    if (!sub) continue;
    CString path;
    if (fs_->OpensByPath()) sub->PathOf(*start_, fs_->separator(), &path);
    DirEntry entry = sub->Entry();
    int error = 0;
    sub->listing = fs_->OpenListing(dir->listing.get(), &entry, path, &error);
    // The rest are opened as they come, this one too: then its error is
    // the one told.
    if (!sub->listing) return false;
    sub->Move(Handle::kAhead, nullptr);  // with a handle set aside
    --dir->set_aside;
  }
  return true;
}
