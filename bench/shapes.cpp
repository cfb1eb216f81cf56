#include "bench/shapes.h"

#include <stdint.h>
#include <stdio.h>

namespace {

// splitmix64: small, and the same numbers everywhere (unlike std's distributions).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
  // Skewed towards 0: a few indexes get most of the picks.
  size_t SkewedBelow(size_t n) {
    double u = static_cast<double>(Next() >> 11) / 9007199254740992.0;
    return static_cast<size_t>(static_cast<double>(n) * u * u);
  }

 private:
  uint64_t state_;
};

const char* const kStems[] = {"report", "data",  "img",   "cache",  "log",   "build",
                              "index",  "module", "test", "page",   "chunk", "backup",
                              "notes",  "draft", "core",  "x",      "thumbnail_large"};

// What follows the stem. Kept files carry near misses too: .bakx, .bak.old,
// .ba, a name ending in "bak" without a dot, and names without any dot.
const char* const kKeepTails[] = {".txt", ".o",   ".c",       ".h",  ".json", ".png", ".log",
                                  ".so",  ".bakx", ".bak.old", ".ba", "",      "bak",  ".BAKX",
                                  ".txt~", ".md"};
const char* const kMatchTails[] = {".bak", ".bak", ".bak", ".BAK", ".BAK", ".Bak", ".old.bak"};

template <typename T, size_t N>
const char* Pick(Random* random, T (&table)[N]) {
  return table[random->Below(N)];
}

// Adds `files` files to `dir`, `per_mille` of 1000 of them matching.
void AddFiles(Random* random, size_t files, unsigned per_mille, PlanDir* dir) {
  for (size_t i = 0; i < files; ++i) {
    bool match = random->Below(1000) < per_mille;
    // The directory's own count keeps names unique.
    size_t serial = dir->keep.size() + dir->match.size();
    std::string name = std::string(Pick(random, kStems)) + "-" + std::to_string(serial) +
                       (match ? Pick(random, kMatchTails) : Pick(random, kKeepTails));
    (match ? dir->match : dir->keep).push_back(name);
  }
}

void OneDirectory(size_t files, unsigned per_mille, PlanDir* top) {
  Random random(files);
  AddFiles(&random, files, per_mille, top);
}

// A chain `levels` deep, `files` files at every level (the top included).
void Chain(size_t levels, size_t files, PlanDir* top) {
  Random random(levels);
  PlanDir* dir = top;
  for (size_t level = 0;; ++level) {
    AddFiles(&random, files, 300, dir);
    if (level == levels) break;
    char name[16];
    snprintf(name, sizeof name, "d%03zu", level);
    dir->dirs.push_back(PlanDir());
    dir = &dir->dirs.back();
    dir->name = name;
  }
}

// A project-like tree: `dir_count` directories (the top included), none
// deeper than `max_depth`, and `files` files spread unevenly among them.
void Tree(size_t dir_count, size_t max_depth, size_t files, unsigned per_mille, PlanDir* top) {
  Random random(dir_count * 7919 + max_depth);
  std::vector<size_t> parent(dir_count, 0), depth(dir_count, 0);
  std::vector<PlanDir> flat(dir_count);
  for (size_t i = 1; i < dir_count; ++i) {
    size_t p = random.SkewedBelow(i);
    while (depth[p] >= max_depth) p = parent[p];
    parent[i] = p;
    depth[i] = depth[p] + 1;
    flat[i].name = std::string(Pick(&random, kStems)) + "_" + std::to_string(i);
  }
  // The same random stream as the directories: sparse differs from typical
  // only in which files match.
  Random file_random(files);
  for (size_t i = 0; i < files; ++i)
    AddFiles(&file_random, 1, per_mille, &flat[file_random.SkewedBelow(dir_count)]);
  // Children were all numbered after their parents: fold them in backwards.
  for (size_t i = dir_count - 1; i > 0; --i)
    flat[parent[i]].dirs.insert(flat[parent[i]].dirs.begin(), std::move(flat[i]));
  *top = std::move(flat[0]);
}

}  // namespace

bool MakeShape(const std::string& shape, PlanDir* top) {
  *top = PlanDir();
  if (shape == "wide") {
    OneDirectory(200000, 300, top);
  } else if (shape == "typical") {
    Tree(5000, 8, 200000, 300, top);
  } else if (shape == "deep") {
    Chain(1000, 5, top);
  } else if (shape == "sparse") {
    Tree(5000, 8, 200000, 10, top);
  } else if (shape == "latency") {
    // 10,000 entries: 249 directories below the top, and the files.
    Tree(250, 8, 9751, 300, top);
  } else if (shape == "sparse-latency") {
    // The same at 1% matching: listing the directories is most of the work.
    Tree(250, 8, 9751, 10, top);
  } else if (shape == "flat1k") {
    OneDirectory(1000, 300, top);
  } else if (shape == "flat1m") {
    OneDirectory(1000000, 300, top);
  } else {
    return false;
  }
  return true;
}

PlanCounts Count(const PlanDir& dir) {
  PlanCounts counts;
  counts.keep = dir.keep.size();
  counts.match = dir.match.size();
  for (const PlanDir& sub : dir.dirs) {
    PlanCounts below = Count(sub);
    counts.dirs += 1 + below.dirs;
    counts.keep += below.keep;
    counts.match += below.match;
  }
  return counts;
}
