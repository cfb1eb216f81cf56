// The directories whose next block waits for a worker, nearest first: in
// the depth-first order of the places where the blocks start, so that what
// the sweep needs soonest is read first.
#ifndef ZAPEXT_SWEEP_NEAREST_FIRST_H_
#define ZAPEXT_SWEEP_NEAREST_FIRST_H_

#include <stddef.h>

#include <set>

#include "sweep/directory.h"

class NearestFirst {
 public:
  struct Nearer {
    bool operator()(const Directory* a, const Directory* b) const;
  };
  using Place = std::set<Directory*, Nearer>::iterator;

  // Queues `dir`, right after `*after` when given (nothing lies between two
  // subdirectories of one block yet): where it went. Throws bad_alloc.
  Place Add(Directory* dir, const Place* after = nullptr) {
    return after ? queue_.insert(std::next(*after), dir) : queue_.insert(dir).first;
  }
  void Remove(Directory* dir) { queue_.erase(dir); }
  Directory* First() const { return *queue_.begin(); }
  void RemoveFirst() { queue_.erase(queue_.begin()); }
  size_t size() const { return queue_.size(); }

 private:
  std::set<Directory*, Nearer> queue_;
};

#endif  // ZAPEXT_SWEEP_NEAREST_FIRST_H_
