// Builds, restores and checks the benchmark's trees.
//
//   zapext-bench-tree count SHAPE              prints "dirs keep match"
//   zapext-bench-tree extension SHAPE          prints the extension its runs remove
//   zapext-bench-tree stats SHAPE              prints what the tree looks like
//   zapext-bench-tree build SHAPE DIR BATCHES  DIR/tree without its matching
//                                              files, and BATCHES batches of
//                                              empty files for them in DIR/pool
//   zapext-bench-tree restore SHAPE DIR BATCH  moves a batch into place
//   zapext-bench-tree verify SHAPE DIR OUTPUT [total] [ordered] [VIEW]
//       checks that exactly the matching files are gone and that OUTPUT
//       announces each of them once ("removing PATH"), followed by the total
//       line with "total", depth-first with "ordered" (any order without);
//       with VIEW, the tool ran in VIEW, another view of DIR/tree (a mount of
//       it), and paths start there
//
// Creating files soon after many were deleted is slow on ext4 without a
// journal (freed inodes are passed over for a while, one by one), so every
// file a run will remove is created up front, before anything is deleted,
// and renamed into place when its run comes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_set>

#include "bench/shapes.h"

namespace {

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "zapext-bench-tree: %s: %s\n", what.c_str(), strerror(errno));
  exit(1);
}

int OpenDir(int at, const std::string& name) {
  int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) Die("open " + name);
  return fd;
}

void MakeDir(int at, const std::string& name) {
  if (mkdirat(at, name.c_str(), 0755) != 0) Die("mkdir " + name);
}

void MakeFile(int at, const std::string& name) {
  int fd = openat(at, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) Die("create " + name);
  close(fd);
}

// The tree below the open directory `fd`, without its matching files.
void BuildTree(int fd, const PlanDir& dir) {
  for (const std::string& name : dir.keep) MakeFile(fd, name);
  for (const PlanDir& sub : dir.dirs) {
    MakeDir(fd, sub.name);
    int sub_fd = OpenDir(fd, sub.name);
    BuildTree(sub_fd, sub);
    close(sub_fd);
  }
}

// Moves the next files of the batch `pool` to the matching names of the tree.
void Restore(int fd, const PlanDir& dir, int pool, size_t* next) {
  for (const std::string& name : dir.match) {
    std::string from = std::to_string((*next)++);
    if (renameat(pool, from.c_str(), fd, name.c_str()) != 0) Die("rename " + from + " to " + name);
  }
  for (const PlanDir& sub : dir.dirs) {
    int sub_fd = OpenDir(fd, sub.name);
    Restore(sub_fd, sub, pool, next);
    close(sub_fd);
  }
}

std::vector<std::string> NamesIn(int fd) {
  std::vector<std::string> names;
  DIR* dir = fdopendir(dup(fd));
  if (!dir) Die("list");
  while (struct dirent* d = readdir(dir))
    if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Counts what differs from a tree whose matching files are gone, and collects
// the lines that should announce them.
size_t Verify(int fd, const PlanDir& dir, const std::string& path,
              std::vector<std::string>* removed) {
  std::vector<std::string> expected = dir.keep;
  for (const PlanDir& sub : dir.dirs) expected.push_back(sub.name);
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> found = NamesIn(fd);
  size_t wrong = 0;
  if (found != expected) {
    std::vector<std::string> diff;
    std::set_symmetric_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                                  std::back_inserter(diff));
    for (const std::string& name : diff)
      fprintf(stderr, "%s/%s: %s\n", path.c_str(), name.c_str(),
              std::binary_search(found.begin(), found.end(), name) ? "left over" : "missing");
    wrong += diff.size();
  }
  for (const std::string& name : dir.match) removed->push_back("removing " + path + "/" + name);
  for (const PlanDir& sub : dir.dirs) {
    int sub_fd = OpenDir(fd, sub.name);
    wrong += Verify(sub_fd, sub, path + "/" + sub.name, removed);
    close(sub_fd);
  }
  return wrong;
}

std::vector<std::string> Lines(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) Die("read " + file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Whether the lines go depth-first: once they leave a directory for one
// outside it, nothing below it comes again. (Within a directory the order is
// the listing's, which is gone with the files.) Sets `*culprit` otherwise.
bool DepthFirst(const std::vector<std::string>& lines, std::string* culprit) {
  std::unordered_set<std::string> left;
  std::string at;  // the directory of the line before
  for (const std::string& line : lines) {
    std::string dir = line.substr(0, line.rfind('/'));
    if (dir == at) continue;
    size_t common = 0;
    while (common < dir.size() && common < at.size() && dir[common] == at[common]) ++common;
    bool boundary = (common == dir.size() || dir[common] == '/') &&
                    (common == at.size() || at[common] == '/');
    if (!boundary) common = dir.rfind('/', common);
    for (size_t end = at.size(); end > common && end != std::string::npos;
         end = at.rfind('/', end - 1))
      left.insert(at.substr(0, end));
    for (size_t end = dir.size(); end > common && end != std::string::npos;
         end = dir.rfind('/', end - 1)) {
      if (left.count(dir.substr(0, end))) {
        *culprit = line;
        return false;
      }
    }
    at = dir;
  }
  return true;
}

int VerifyRun(const PlanDir& top, const std::string& dir, const std::string& output,
              bool total, bool ordered, const char* view) {
  char real[PATH_MAX];
  if (!realpath((dir + "/tree").c_str(), real)) Die("realpath " + dir);
  int fd = OpenDir(AT_FDCWD, real);
  char seen[PATH_MAX];
  if (view && !realpath(view, seen)) Die(std::string("realpath ") + view);
  std::vector<std::string> expected;
  size_t wrong = Verify(fd, top, view ? seen : real, &expected);
  close(fd);

  std::vector<std::string> lines = Lines(output);
  if (total) {
    std::string last = "removed " + std::to_string(expected.size()) + " files";
    if (lines.size() < 2 || lines[lines.size() - 2] != last || !lines.back().empty()) {
      fprintf(stderr, "%s: does not end in \"%s\" and an empty line\n", output.c_str(),
              last.c_str());
      ++wrong;
    }
    lines.resize(lines.size() < 2 ? 0 : lines.size() - 2);
  }
  std::string culprit;
  if (ordered && !DepthFirst(lines, &culprit)) {
    fprintf(stderr, "%s: not depth-first: \"%s\" comes back to a directory left before\n",
            output.c_str(), culprit.c_str());
    ++wrong;
  }
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  if (lines != expected) {
    fprintf(stderr, "%s: %zu lines, %zu expected, not the same set\n", output.c_str(),
            lines.size(), expected.size());
    ++wrong;
  }
  return wrong == 0 ? 0 : 1;
}

int Build(const PlanDir& top, const std::string& dir, size_t batches) {
  MakeDir(AT_FDCWD, dir);
  int fd = OpenDir(AT_FDCWD, dir);
  MakeDir(fd, "tree");
  int tree = OpenDir(fd, "tree");
  BuildTree(tree, top);
  close(tree);
  MakeDir(fd, "pool");
  int pool = OpenDir(fd, "pool");
  size_t match = Count(top).match;
  for (size_t b = 0; b < batches; ++b) {
    std::string name = std::to_string(b);
    MakeDir(pool, name);
    int batch = OpenDir(pool, name);
    for (size_t i = 0; i < match; ++i) MakeFile(batch, std::to_string(i));
    close(batch);
  }
  close(pool);
  close(fd);
  return 0;
}

int RestoreBatch(const PlanDir& top, const std::string& dir, const std::string& batch) {
  int tree = OpenDir(AT_FDCWD, dir + "/tree");
  int pool = OpenDir(AT_FDCWD, dir + "/pool/" + batch);
  size_t next = 0;
  Restore(tree, top, pool, &next);
  close(pool);
  close(tree);
  return 0;
}

// Entries (files and subdirectories) per directory, depth by depth.
void Walk(const PlanDir& dir, size_t depth, std::vector<size_t>* entries,
          std::vector<size_t>* dirs_at, std::vector<size_t>* files_at, size_t* file_chars,
          size_t* dir_chars, std::map<std::string, size_t>* tails) {
  entries->push_back(dir.keep.size() + dir.match.size() + dir.dirs.size());
  if (dirs_at->size() <= depth) dirs_at->resize(depth + 1), files_at->resize(depth + 1);
  ++(*dirs_at)[depth];
  (*files_at)[depth] += dir.keep.size() + dir.match.size();
  for (const auto* names : {&dir.keep, &dir.match}) {
    for (const std::string& name : *names) {
      *file_chars += name.size();
      size_t dot = name.rfind('.');
      ++(*tails)[dot == std::string::npos ? "(no dot)" : name.substr(dot)];
    }
  }
  for (const PlanDir& sub : dir.dirs) {
    *dir_chars += sub.name.size();
    Walk(sub, depth + 1, entries, dirs_at, files_at, file_chars, dir_chars, tails);
  }
}

int Stats(const std::string& shape, const PlanDir& top) {
  PlanCounts counts = Count(top);
  size_t files = counts.keep + counts.match;
  std::vector<size_t> entries, dirs_at, files_at;
  size_t file_chars = 0, dir_chars = 0;
  std::map<std::string, size_t> tails;
  Walk(top, 0, &entries, &dirs_at, &files_at, &file_chars, &dir_chars, &tails);
  size_t few = std::count_if(entries.begin(), entries.end(), [](size_t n) { return n < 5; });
  std::sort(entries.begin(), entries.end());
  auto at = [&](double q) { return entries[static_cast<size_t>(q * (entries.size() - 1))]; };
  printf("%s: %zu files in %zu directories (the top included), %zu matching .%s (%.1f%%)\n",
         shape.c_str(), files, counts.dirs + 1, counts.match, ShapeExtension(shape).c_str(),
         100.0 * counts.match / files);
  printf("files a directory %.1f; entries a directory: under 5 in %.1f%% of them,"
         " quartiles %zu %zu %zu, 90%% %zu, 99%% %zu, most %zu\n",
         static_cast<double>(files) / (counts.dirs + 1), 100.0 * few / entries.size(), at(0.25),
         at(0.5), at(0.75), at(0.9), at(0.99), entries.back());
  printf("mean name length: files %.1f, directories %.1f\n",
         static_cast<double>(file_chars) / files,
         counts.dirs ? static_cast<double>(dir_chars) / counts.dirs : 0.0);
  printf("depth  dirs  files\n");
  for (size_t d = 0; d < dirs_at.size(); ++d) printf("%5zu %5zu %6zu\n", d, dirs_at[d], files_at[d]);
  std::vector<std::pair<size_t, std::string>> by_count;
  for (const auto& t : tails) by_count.emplace_back(t.second, t.first);
  std::sort(by_count.rbegin(), by_count.rend());
  printf("last dots:");
  for (size_t i = 0; i < by_count.size() && i < 12; ++i)
    printf(" %s %.1f%%", by_count[i].second.c_str(), 100.0 * by_count[i].first / files);
  printf("\n");
  return 0;
}

int Usage() {
  fputs("usage: zapext-bench-tree count SHAPE | extension SHAPE | stats SHAPE | build SHAPE DIR BATCHES |"
        " restore SHAPE DIR BATCH | verify SHAPE DIR OUTPUT [total] [ordered] [VIEW]\n",
        stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1];
  PlanDir top;
  if (!MakeShape(argv[2], &top)) {
    fprintf(stderr, "zapext-bench-tree: no shape %s\n", argv[2]);
    return 2;
  }
  if (command == "count" && argc == 3) {
    PlanCounts counts = Count(top);
    printf("%zu %zu %zu\n", counts.dirs, counts.keep, counts.match);
    return 0;
  }
  if (command == "extension" && argc == 3) {
    printf("%s\n", ShapeExtension(argv[2]).c_str());
    return 0;
  }
  if (command == "stats" && argc == 3) return Stats(argv[2], top);
  if (command == "build" && argc == 5) return Build(top, argv[3], strtoul(argv[4], nullptr, 10));
  if (command == "restore" && argc == 5) return RestoreBatch(top, argv[3], argv[4]);
  if (command == "verify" && argc >= 5) {
    bool total = false, ordered = false;
    const char* view = nullptr;
    for (int i = 5; i < argc; ++i) {
      if (strcmp(argv[i], "total") == 0) {
        total = true;
      } else if (strcmp(argv[i], "ordered") == 0) {
        ordered = true;
      } else if (!view) {
        view = argv[i];
      } else {
        return Usage();
      }
    }
    return VerifyRun(top, argv[3], argv[4], total, ordered, view);
  }
  return Usage();
}
