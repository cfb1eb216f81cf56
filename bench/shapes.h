// The benchmark's trees. Each shape is generated from a fixed seed, so every
// run on every machine sweeps the same names in the same directories.
#ifndef ZAPEXT_BENCH_SHAPES_H_
#define ZAPEXT_BENCH_SHAPES_H_

#include <stddef.h>

#include <string>
#include <vector>

struct PlanDir {
  std::string name;                // "" for the top of the tree
  std::vector<std::string> keep;   // files that `zapext EXT` leaves (EXT: ShapeExtension)
  std::vector<std::string> match;  // files that `zapext EXT` removes
  std::vector<PlanDir> dirs;
};

struct PlanCounts {
  size_t dirs = 0;  // below the top
  size_t keep = 0;
  size_t match = 0;
};

// The tree of a shape (wide, typical, deep, sparse, latency, sparse-latency,
// small, linux-c, linux-rst, node-map, node-md, flat1k, flat1m), or false for
// a name that is none of them.
bool MakeShape(const std::string& shape, PlanDir* top);

// The extension the shape's runs remove: "bak", or the last part of the
// name of the real-like shapes ("c" for linux-c).
std::string ShapeExtension(const std::string& shape);

PlanCounts Count(const PlanDir& dir);

#endif  // ZAPEXT_BENCH_SHAPES_H_
