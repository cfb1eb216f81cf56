#include "sweep/nearest_first.h"

#include <stdint.h>

#include <new>

bool Nearer::operator()(const Directory* a, const Directory* b) const {
  // Depth-first order of the places where the two blocks start: "before
  // entry i" is 2i, "inside the subtree of entry i" 2i + 1. Both are brought
  // up to the level where they part.
  uint64_t at_a = 2 * uint64_t(a->read);
  uint64_t at_b = 2 * uint64_t(b->read);
  while (a->depth > b->depth) {
    at_a = 2 * uint64_t(a->index) + 1;
    a = a->parent;
  }
  while (b->depth > a->depth) {
    at_b = 2 * uint64_t(b->index) + 1;
    b = b->parent;
  }
  while (a != b) {
    at_a = 2 * uint64_t(a->index) + 1;
    a = a->parent;
    at_b = 2 * uint64_t(b->index) + 1;
    b = b->parent;
  }
  return at_a < at_b;
}

KeptNodes::~KeptNodes() {
  while (kept_) {
    Free* next = kept_->next;
    ::operator delete(kept_);
    kept_ = next;
  }
}

void* KeptNodes::Get(size_t size) {
  if (!kept_ || size != size_) return ::operator new(size);
  Free* node = kept_;
  kept_ = node->next;
  --count_;
  return node;
}

void KeptNodes::Put(void* node, size_t size) {
  if (size < sizeof(Free) || count_ == kMostKept || (count_ > 0 && size != size_)) {
    ::operator delete(node);
    return;
  }
  size_ = size;
  kept_ = new (node) Free{kept_};
  ++count_;
}
