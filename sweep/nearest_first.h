// The directories whose next block waits for a worker, nearest first: in
// the depth-first order of the places where the blocks start, so that what
// the sweep needs soonest is read first.
#ifndef ZAPEXT_SWEEP_NEAREST_FIRST_H_
#define ZAPEXT_SWEEP_NEAREST_FIRST_H_

#include <stddef.h>

#include <set>

#include "sweep/directory.h"

struct Nearer {
  bool operator()(const Directory* a, const Directory* b) const;
};

// The queue's nodes, kept for the next directories queued: nearly every
// directory passes through the queue, its node made on one thread and freed
// on another, which the C library serves slowest. Used under the engine's
// lock, as the queue is. A few kilobytes at most, beside the budget.
class KeptNodes {
 public:
  KeptNodes() = default;
  ~KeptNodes();
  KeptNodes(const KeptNodes&) = delete;
  KeptNodes& operator=(const KeptNodes&) = delete;

  void* Get(size_t size);
  void Put(void* node, size_t size);

 private:
  static const size_t kMostKept = 64;
  struct Free {
    Free* next;
  };
  Free* kept_ = nullptr;
  size_t count_ = 0;
  size_t size_ = 0;  // of each node kept
};

template <typename T>
class NodeAllocator {
 public:
  using value_type = T;
  explicit NodeAllocator(KeptNodes* nodes) : nodes_(nodes) {}
  template <typename U>
  NodeAllocator(const NodeAllocator<U>& other) : nodes_(other.nodes()) {}

  T* allocate(size_t n) { return static_cast<T*>(nodes_->Get(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { nodes_->Put(p, n * sizeof(T)); }

  KeptNodes* nodes() const { return nodes_; }
  template <typename U>
  bool operator==(const NodeAllocator<U>& other) const { return nodes_ == other.nodes(); }
  template <typename U>
  bool operator!=(const NodeAllocator<U>& other) const { return nodes_ != other.nodes(); }

 private:
  KeptNodes* nodes_;
};

using NearestFirst = std::set<Directory*, Nearer, NodeAllocator<Directory*>>;

#endif  // ZAPEXT_SWEEP_NEAREST_FIRST_H_
