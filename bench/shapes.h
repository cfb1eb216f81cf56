// The benchmark's trees. Each shape is generated from a fixed seed, so every
// run on every machine sweeps the same names in the same directories.
#ifndef ZAPEXT_BENCH_SHAPES_H_
#define ZAPEXT_BENCH_SHAPES_H_

#include <stddef.h>

#include <string>
#include <vector>

struct PlanDir {
  std::string name;                // "" for the top of the tree
  std::vector<std::string> keep;   // files that `zapext bak` leaves
  std::vector<std::string> match;  // files that `zapext bak` removes
  std::vector<PlanDir> dirs;
};

struct PlanCounts {
  size_t dirs = 0;  // below the top
  size_t keep = 0;
  size_t match = 0;
};

// The tree of a shape (wide, typical, deep, sparse, latency, sparse-latency,
// flat1k, flat1m), or false for a name that is none of them.
bool MakeShape(const std::string& shape, PlanDir* top);

PlanCounts Count(const PlanDir& dir);

#endif  // ZAPEXT_BENCH_SHAPES_H_
