#include "bench/shapes.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>

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
    double u = Uniform();
    return static_cast<size_t>(static_cast<double>(n) * u * u);
  }
  // In [0, 1).
  double Uniform() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  // Standard normal (Box-Muller; one of the pair is dropped).
  double Normal() {
    double u = 1.0 - Uniform();
    return sqrt(-2.0 * log(u)) * cos(6.283185307179586 * Uniform());
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


// Whether `name` ends in `extension` as zapext matches it: the text after the
// last dot, or the whole name without a dot, equal ignoring ASCII case.
bool HasExtension(const std::string& name, const std::string& extension) {
  size_t dot = name.rfind('.');
  size_t start = dot == std::string::npos ? 0 : dot + 1;
  if (name.size() - start != extension.size()) return false;
  for (size_t i = 0; i < extension.size(); ++i) {
    unsigned char a = name[start + i], b = extension[i];
    if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
    if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
    if (a != b) return false;
  }
  return true;
}

// What ends a file name, and how often, in one kind of directory. A tail
// starting with '.' follows a generated stem; any other is a whole name
// (Makefile, LICENSE), found at most once in a directory.
struct Tail {
  const char* text;
  unsigned weight;
};

struct Kind {
  unsigned weight;  // how often a subtree is of this kind
  std::vector<Tail> tails;
};

// A tree grown to the numbers of a real one: directories per depth, files
// spread over them with a log-normal share each, name lengths, and kinds of
// directory (sources, documentation...) that subtrees mostly keep, each with
// its own mix of extensions.
struct RealLike {
  uint64_t seed;
  std::vector<size_t> dirs_at_depth;  // [0], the top, is 1
  size_t files;
  double spread;   // the standard deviation of the log of a directory's share
  double inherit;  // the chance that a directory is of its parent's kind
  std::vector<Kind> kinds;
  std::vector<const char*> common_dirs;  // names that come back in many places
  double common_dir;                     // the chance of one of them
  size_t dir_stem, file_stem;            // mean lengths of generated names
};

size_t PickWeighted(Random* random, const std::vector<unsigned>& weights) {
  unsigned total = 0;
  for (unsigned w : weights) total += w;
  unsigned at = static_cast<unsigned>(random->Below(total));
  size_t i = 0;
  while (at >= weights[i]) at -= weights[i++];
  return i;
}

// Lower case letters, digits now and then, words joined by '_' or '-'.
std::string Stem(Random* random, size_t mean, char joiner) {
  size_t length = 1 + random->Below(2 * mean - 1);
  std::string stem;
  for (size_t i = 0; i < length; ++i) {
    size_t r = random->Below(100);
    if (i > 0 && i + 1 < length && stem.back() != joiner && r < 10) {
      stem += joiner;
    } else if (i > 0 && r < 14) {
      stem += static_cast<char>('0' + random->Below(10));
    } else {
      stem += static_cast<char>('a' + random->Below(26));
    }
  }
  return stem;
}

void Grow(const RealLike& like, const std::string& extension, PlanDir* top) {
  Random random(like.seed);
  size_t count = 0;
  for (size_t n : like.dirs_at_depth) count += n;
  std::vector<size_t> parent(count, 0), kind(count, 0);
  std::vector<PlanDir> flat(count);
  std::vector<std::set<std::string>> names(count);
  std::vector<unsigned> kind_weights;
  for (const Kind& k : like.kinds) kind_weights.push_back(k.weight);
  kind[0] = PickWeighted(&random, kind_weights);
  // Directories depth by depth, each under one of the level above, the first
  // ones of that level taking most (as drivers/ or a package's lib/ do).
  size_t level_start = 0, level_size = 1, next = 1;
  for (size_t depth = 1; depth < like.dirs_at_depth.size(); ++depth) {
    for (size_t k = 0; k < like.dirs_at_depth[depth]; ++k, ++next) {
      size_t p = level_start + random.SkewedBelow(level_size);
      parent[next] = p;
      // Subtrees near the top take their kind afresh, so that no one kind
      // takes the tree.
      kind[next] = depth > 2 && random.Uniform() < like.inherit ? kind[p]
                                                                 : PickWeighted(&random, kind_weights);
      std::string name;
      if (random.Uniform() < like.common_dir)
        name = like.common_dirs[random.Below(like.common_dirs.size())];
      while (name.empty() || !names[p].insert(name).second) name = Stem(&random, like.dir_stem, '_');
      flat[next].name = name;
    }
    level_start += level_size;
    level_size = like.dirs_at_depth[depth];
  }
  // Files: each directory gets a share drawn once, and every file picks a
  // directory by share.
  std::vector<double> upto(count);
  double sum = 0;
  for (size_t i = 0; i < count; ++i) upto[i] = sum += exp(like.spread * random.Normal());
  for (size_t f = 0; f < like.files; ++f) {
    size_t d = std::upper_bound(upto.begin(), upto.end(), random.Uniform() * sum) - upto.begin();
    if (d >= count) d = count - 1;
    const std::vector<Tail>& tails = like.kinds[kind[d]].tails;
    std::vector<unsigned> weights;
    for (const Tail& t : tails) weights.push_back(t.weight);
    std::string name;
    for (int tries = 0; name.empty() || !names[d].insert(name).second; ++tries) {
      const char* tail = tails[PickWeighted(&random, weights)].text;
      // A whole name already there: a generated one instead.
      if (tail[0] != '.' && tries > 0) tail = tails[0].text;
      name = tail[0] == '.' ? Stem(&random, like.file_stem, '_') + tail : tail;
    }
    (HasExtension(name, extension) ? flat[d].match : flat[d].keep).push_back(name);
  }
  for (size_t i = count - 1; i > 0; --i)
    flat[parent[i]].dirs.insert(flat[parent[i]].dirs.begin(), std::move(flat[i]));
  *top = std::move(flat[0]);
}

// Shaped after the Linux 6.1 sources: 78,635 files in 5,096 directories.
RealLike LinuxSources() {
  RealLike like;
  like.seed = 14;
  like.dirs_at_depth = {1, 21, 320, 1400, 1800, 1050, 380, 100, 20, 4};
  like.files = 78635;
  like.spread = 1.3;
  like.inherit = 0.9;
  like.kinds = {
      {720, {{".c", 480}, {".h", 330}, {"Makefile", 35}, {"Kconfig", 30}, {".S", 25},
             {".sh", 10}, {".txt", 5}, {".py", 5}, {".json", 5}, {".rst", 3}, {".lds", 2}}},
      {90, {{".rst", 480}, {".yaml", 280}, {".txt", 140}, {".svg", 20}, {"Makefile", 20},
            {".py", 10}, {".c", 10}}},
      {70, {{".dtsi", 480}, {".dts", 420}, {"Makefile", 60}, {".h", 40}}},
      {120, {{".c", 330}, {".sh", 200}, {".h", 150}, {".py", 90}, {".json", 60},
             {"Makefile", 50}, {".tc", 40}, {".txt", 30}, {"config", 20}, {".rst", 10}}},
  };
  like.common_dirs = {"include", "src", "core", "tests", "lib", "common", "net", "mm",
                      "boot", "kernel", "configs", "dts", "bindings", "uapi", "asm"};
  like.common_dir = 0.15;
  like.dir_stem = 6;
  like.file_stem = 9;
  return like;
}

// Shaped after a node_modules install: 21,277 files in 2,618 directories,
// ten levels deep.
RealLike NodeModules() {
  RealLike like;
  like.seed = 13;
  like.dirs_at_depth = {1, 250, 701, 700, 450, 250, 140, 70, 35, 15, 6};
  like.files = 21277;
  like.spread = 1.1;
  like.inherit = 0.8;
  like.kinds = {
      {700, {{".js", 470}, {".js.map", 200}, {".d.ts", 150}, {".d.ts.map", 60}, {".mjs", 40},
             {".cjs", 30}, {".json", 20}, {".md", 15}, {".ts", 10}, {".flow", 5}}},
      {300, {{".js", 250}, {"package.json", 160}, {"README.md", 150}, {"LICENSE", 120},
             {".d.ts", 80}, {"index.js", 80}, {"index.d.ts", 50}, {"CHANGELOG.md", 60},
             {".map", 40}, {".md", 30}}},
  };
  like.common_dirs = {"node_modules", "lib", "dist", "src", "esm", "cjs", "types", "test",
                      "build", "es", "umd", "utils", "helpers", "internal", "bin", "docs"};
  like.common_dir = 0.3;
  like.dir_stem = 7;
  like.file_stem = 8;
  return like;
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
  } else if (shape == "small") {
    // A run too short to win anything from threads: 2,000 files, 200 directories.
    Tree(200, 8, 2000, 300, top);
  } else if (shape == "linux-c" || shape == "linux-rst") {
    Grow(LinuxSources(), ShapeExtension(shape), top);
  } else if (shape == "node-map" || shape == "node-md") {
    Grow(NodeModules(), ShapeExtension(shape), top);
  } else if (shape == "flat1k") {
    OneDirectory(1000, 300, top);
  } else if (shape == "flat1m") {
    OneDirectory(1000000, 300, top);
  } else {
    return false;
  }
  return true;
}

std::string ShapeExtension(const std::string& shape) {
  size_t dash = shape.find('-');
  if (shape.compare(0, dash, "linux") == 0 || shape.compare(0, dash, "node") == 0)
    return shape.substr(dash + 1);
  return "bak";
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
