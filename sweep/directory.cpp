#include "sweep/directory.h"

#include <assert.h>
#include <string.h>

#include <algorithm>

namespace {

bool Counted(Handle handle) {
  return handle == Handle::kOpening || handle == Handle::kAhead || handle == Handle::kClosing;
}

// The tables of directory.h as bits: bit `to` of the entry for `from` is
// set where that move is made.
template <typename... States>
constexpr unsigned Bits(States... to) {
  return ((1u << int(to)) | ...);
}
const unsigned kHandleMoves[] = {
    Bits(Handle::kOpening, Handle::kAhead, Handle::kOwn),                      // kNone
    Bits(Handle::kAhead, Handle::kNone),                                       // kOpening
    Bits(Handle::kClosing, Handle::kClosed, Handle::kOwn, Handle::kNone,
         Handle::kGivenBack),  // kAhead
    Bits(Handle::kClosed),                                                     // kClosing
    Bits(Handle::kOwn, Handle::kNone),                                         // kClosed
    Bits(Handle::kOwn, Handle::kNone),                                         // kGivenBack
    Bits(Handle::kNone),                                                       // kOwn
};
const unsigned kWorkMoves[] = {
    Bits(Work::kQueued, Work::kBusy),  // kNone
    Bits(Work::kNone, Work::kBusy),    // kQueued
    Bits(Work::kDone, Work::kNone),    // kBusy
    Bits(Work::kNone),                 // kDone
};

template <typename State>
bool Allowed(const unsigned* moves, State from, State to) {
  return (moves[int(from)] >> int(to)) & 1;
}

}  // namespace

Directory::Directory(Directory* parent_dir, uint32_t at, const DirEntry& entry)
    : parent(parent_dir),
      index(at),
      depth(parent_dir ? parent_dir->depth + 1 : 0),
      name(entry.name ? entry.name : ""),
      attributes(entry.attributes),
      id(entry.id) {}

Directory::~Directory() = default;

void Directory::Move(Handle to, Budget* budget) {
  assert(Allowed(kHandleMoves, handle_, to));
  bool was = Counted(handle_), is = Counted(to);
  // Without the budget, only a handle set aside for it becomes counted.
  assert(budget || was == is || (handle_ == Handle::kNone && to == Handle::kAhead));
  if (budget && is && !was) budget->CountHandles(1);
  if (budget && was && !is) budget->DiscountHandles(1);
  handle_ = to;
}

void Directory::Move(Visit to) {
  assert(to > visit_);
  visit_ = to;
}

void Directory::Move(Work to) {
  assert(Allowed(kWorkMoves, work_, to));
  // Nothing is read ahead for a directory the sweep has left.
  assert(visit_ != Visit::kLeft || to == Work::kNone);
  work_ = to;
}

void Directory::Move(Reading to) {
  assert(to == Reading::kEnded || reading_ == Reading::kBlocks);
  reading_ = to;
}

DirEntry Directory::Entry() const {
  DirEntry entry;
  entry.name = name.c_str();
  entry.attributes = attributes;
  entry.id = id;
  return entry;
}

bool Directory::Passed(const char* entry_name) {
  auto before = [](const char* a, const char* b) { return strcmp(a, b) < 0; };
  if (passed.empty() && current) {
    passed.reserve(current->items.size());
    for (const Item& item : current->items) passed.push_back(current->NameOf(item));
    std::sort(passed.begin(), passed.end(), before);
  }
  return std::binary_search(passed.begin(), passed.end(), entry_name, before);
}

void Directory::PathOf(const CString& start, char separator, CString* path) const {
  // Without recursion: a worker's stack is small, and a tree may be deep.
  std::vector<const Directory*> chain;
  chain.reserve(depth);
  int length = start.GetLength();
  for (const Directory* at = this; at->parent; at = at->parent) {
    chain.push_back(at);
    length += 1 + static_cast<int>(at->name.size());
  }
  path->Preallocate(length);
  *path = start;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    *path += separator;
    *path += (*it)->name.c_str();
  }
}

size_t Block::Cost() const {
  // Its lines are counted apart, as long as the block lives.
  size_t cost = sizeof *this + names.capacity() + items.capacity() * sizeof(Item);
  for (const Item& item : items) {
    if (!item.below) continue;
    cost += BelowCost(item.below->name.capacity());
    if (item.below->listing) cost += item.below->listing->Cost();
  }
  return cost;
}

void Block::Clear() {
  names.clear();
  items.clear();
  lines.clear();
  counted = lines_counted = 0;
  ended = held = false;
  error = 0;
}
