// The directories whose next block waits for a worker, nearest first: in
// the depth-first order of the places where the blocks start, so that what
// the sweep needs soonest is read first.
#ifndef ZAPEXT_SWEEP_NEAREST_FIRST_H_
#define ZAPEXT_SWEEP_NEAREST_FIRST_H_

#include <set>

#include "sweep/directory.h"

struct Nearer {
  bool operator()(const Directory* a, const Directory* b) const;
};

using NearestFirst = std::set<Directory*, Nearer>;

#endif  // ZAPEXT_SWEEP_NEAREST_FIRST_H_
