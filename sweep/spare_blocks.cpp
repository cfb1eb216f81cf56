#include "sweep/spare_blocks.h"

#include <new>
#include <string>

namespace {

// Spare blocks kept at most, and the room one may keep.
const size_t kSpareBlocks = 32;
const size_t kSpareItems = 64;
const size_t kSpareBytes = 4 << 10;
const size_t kSpareItemsAtLeast = 16;

}  // namespace

SpareBlocks::SpareBlocks() {
  try {
    kept_.reserve(kSpareBlocks);
  } catch (const std::bad_alloc&) {
    // Then none are kept.
  }
}

bool SpareBlocks::Keep(std::unique_ptr<Block>* block) {
  Block* b = block->get();
  if (kept_.size() == kept_.capacity() || b->items.capacity() < kSpareItemsAtLeast ||
      b->items.capacity() > kSpareItems || b->names.capacity() > kSpareBytes)
    return false;
  b->Clear();
  if (b->lines.capacity() > kSpareBytes) std::string().swap(b->lines);
  kept_.push_back(std::move(*block));  // within what was reserved
  return true;
}

std::unique_ptr<Block> SpareBlocks::Take() {
  if (kept_.empty()) return nullptr;
  std::unique_ptr<Block> block = std::move(kept_.back());
  kept_.pop_back();
  return block;
}
