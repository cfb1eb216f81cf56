// The sweep over random trees in the in-memory file system, with failures
// injected at random, checked for what must hold whatever happens:
// - a file is asked to be removed only right after its "removing" line, and
//   only when it lies in the tree, below plain directories, and matches;
// - the total is the number of removals that succeeded;
// - a matching file is left only where a failure kept the sweep from it;
// - every listing opened is closed; the status is 2 exactly when a failure
//   was reported;
// - with removal threads, and delays thrown in, the output, the status and
//   what is left are exactly the single-threaded sweep's, under a limit on the
//   listings open at once too, and when memory runs short once on a worker.
#include <errno.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/zapext.h"
#include "tests/virtual_file_system.h"

namespace {

// Memory that runs short once, on a worker thread, after a countdown (none
// below 0): what the worker was doing is left to the sweep, which must end
// as the single-threaded sweep does. Not in the fake file system's own work,
// where the system's would allocate nothing.
thread_local bool t_worker = false;
thread_local int t_exempt = 0;
std::atomic<long> worker_allocations_left{-1};

struct Exempt {
  Exempt() { ++t_exempt; }
  ~Exempt() { --t_exempt; }
};

}  // namespace

// ThreadSanitizer's runtime brings its own, which cannot be replaced in
// part: its replay runs without memory running short.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZAPEXT_KEEP_ALLOCATOR
#endif
#endif
#ifndef ZAPEXT_KEEP_ALLOCATOR
void* operator new(size_t size) {
  if (t_worker && t_exempt == 0 && worker_allocations_left.load(std::memory_order_relaxed) >= 0 &&
      worker_allocations_left.fetch_sub(1) == 0)
    throw std::bad_alloc();
  if (void* memory = malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* memory) noexcept { free(memory); }
void operator delete(void* memory, size_t) noexcept { free(memory); }
#endif

namespace {

const char* const kNames[] = {"a.bak", "B.BAK", "bak", ".bak", "c.bak.old", "d.ba", "e.", "...",
                              "f.bAk", "g",     "h.txt", "..bak", "bak.", "i.BAKx", " .bak"};
const char* const kWanted[] = {"bak", "BAK", "", "txt", "ba", ".bak", "*"};
const int kErrors[] = {EACCES, EIO, EMFILE, EBUSY};

// Counts the removals that succeeded. Run by one thread, it checks that each
// removal comes right after the line that announces it; with removal
// threads, it holds each operation up for a while that varies, so that the
// threads finish in ever other orders.
class Watched : public VirtualFileSystem {
 public:
  FILE* out = nullptr;
  char** buffer = nullptr;
  size_t* size = nullptr;
  std::atomic<int> succeeded{0};
  unsigned delay_seed = 0;  // 0: one thread

  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    Delay(path);
    // A real listing allocates as it opens.
    return VirtualFileSystem::OpenListing(parent, entry, path, error);
  }

  int SetAttributes(Listing* dir, const char* name, const CString& path,
                    uint32_t attributes) override {
    Exempt exempt;
    Delay(path);
    return VirtualFileSystem::SetAttributes(dir, name, path, attributes);
  }

  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    Exempt exempt;
    if (delay_seed) {
      Delay(path);
    } else {
      fflush(out);
      std::string line = std::string("removing ") + static_cast<const char*>(path) + "\n";
      if (*size < line.size() || std::string(*buffer + *size - line.size()) != line) abort();
    }
    int result = VirtualFileSystem::RemoveFile(dir, name, path);
    succeeded += result == 0;
    return result;
  }

 private:
  void Delay(const CString& path) {
    if (!delay_seed) return;
    if (std::this_thread::get_id() != sweep_thread) t_worker = true;
    Exempt exempt;
    size_t turns = (std::hash<std::string>()(static_cast<const char*>(path)) ^ delay_seed) % 7;
    for (size_t i = 0; i < turns * turns; ++i) std::this_thread::yield();
  }
};

struct Entry {
  std::string path;  // below the root
  bool directory;
  bool link;         // a directory link: never entered
  uint32_t attributes;
};

bool Matches(const std::string& name, const std::string& wanted) {
  size_t dot = name.rfind('.');
  std::string tail = dot == std::string::npos ? name : name.substr(dot + 1);
  if (tail.size() != wanted.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (toupper(static_cast<unsigned char>(tail[i])) != toupper(static_cast<unsigned char>(wanted[i])))
      return false;
  return true;
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// What one run of the tool gave.
struct Outcome {
  int status;
  std::string output;
  std::vector<std::string> left;
  int succeeded;
};

// Builds the tree and its failures that `data` describes in `fs`; the same
// data builds the same tree every time.
std::string Build(const uint8_t* data, size_t size, Watched* fs, std::vector<Entry>* entries,
                  std::map<std::string, std::vector<std::string>>* children) {
  FuzzedDataProvider input(data, size);
  std::string wanted = input.PickValueInArray(kWanted);
  fs->handle_limit = input.ConsumeBool() ? 0 : input.ConsumeIntegralInRange(1, 16);
  fs->free_told = input.ConsumeIntegralInRange(0, 16);

  // The tree: each entry goes into a directory made before it.
  std::vector<std::string> directories = {""};
  int count = input.ConsumeIntegralInRange(0, 40);
  for (int i = 0; i < count; ++i) {
    std::string parent = directories[input.ConsumeIntegralInRange<size_t>(0, directories.size() - 1)];
    std::string name = input.ConsumeBool() ? input.PickValueInArray(kNames)
                                           : input.ConsumeRandomLengthString(12);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
      continue;
    std::string path = parent.empty() ? name : parent + "/" + name;
    if (fs->Exists(path)) continue;
    int kind = input.ConsumeIntegralInRange(0, 5);
    if (kind == 5) {
      // Enough names that match nothing to fill a block or two of the
      // listing: what comes after them in this directory is read in a
      // later block.
      for (int j = 0; j < 500; ++j) {
        std::string filler = "filler-" + std::to_string(j) + "-" + name + "-of-a-long-name.txt";
        std::string at = parent.empty() ? filler : parent + "/" + filler;
        fs->AddFile(at);
        entries->push_back({at, false, false, 0x20});
        (*children)[parent].push_back(filler);
      }
      continue;
    }
    if (kind <= 1) {
      bool link = kind == 1 && input.ConsumeBool();
      fs->AddDirectory(path, kAttrDirectory | (link ? kAttrReparsePoint : 0));
      directories.push_back(path);  // a link too: what it leads to must stay
      entries->push_back({path, true, link, 0});
    } else {
      uint32_t attributes = kind == 4 ? 0x21 : 0x20;  // read-only or not
      fs->AddFile(path, attributes);
      entries->push_back({path, false, false, attributes});
    }
    (*children)[parent].push_back(name);
  }

  // The failures.
  while (input.remaining_bytes() > 0 && input.ConsumeBool()) {
    const Entry& e = entries->empty()
                         ? Entry{"", true, false, 0}
                         : (*entries)[input.ConsumeIntegralInRange<size_t>(0, entries->size() - 1)];
    int error = input.PickValueInArray(kErrors);
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0: fs->open_errors[e.path] = input.ConsumeBool() ? error : kErrorGone; break;
      case 1: fs->read_errors[e.path] = {input.ConsumeIntegralInRange<size_t>(0, 6), error}; break;
      case 2: fs->attribute_errors[e.path] = error; break;
      case 3: fs->remove_errors[e.path] = error; break;
      case 4: fs->vanish_before_remove.push_back(e.path); break;
    }
  }
  return wanted;
}

Outcome Run(Watched* fs, std::string wanted, unsigned workers, bool watched = false) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  fs->out = out;
  fs->buffer = &buffer;
  fs->size = &length;
  char* argv[] = {const_cast<char*>("zapext"), &wanted[0], nullptr};
  ZapextOptions options;
  options.workers = workers;
  options.watched = watched;
  int status = ZapextMain(fs, 2, argv, out, options);
  fclose(out);
  Outcome outcome{status, std::string(buffer, length), fs->Tree(), fs->succeeded};
  free(buffer);
  if (fs->open_listings != 0 || testing::Test::HasFailure()) abort();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Watched fs;
  std::vector<Entry> entries;
  std::map<std::string, std::vector<std::string>> children;
  std::string wanted = Build(data, size, &fs, &entries, &children);
  Outcome one = Run(&fs, wanted, 0);
  const std::string& output = one.output;
  int status = one.status;

  // The same tree again, swept with worker threads.
  {
    Watched parallel;
    std::vector<Entry> again;
    std::map<std::string, std::vector<std::string>> children_again;
    Build(data, size, &parallel, &again, &children_again);
    parallel.delay_seed = static_cast<unsigned>(std::hash<std::string>()(
                              std::string(reinterpret_cast<const char*>(data), size))) | 1;
    // As for a terminal, too: the workers then only read.
    worker_allocations_left = (parallel.delay_seed >> 3) % 3 == 0 ? (parallel.delay_seed >> 5) % 64 : -1;
    Outcome many =
        Run(&parallel, wanted, 1 + parallel.delay_seed % 4, (parallel.delay_seed >> 2) % 2 != 0);
    worker_allocations_left = -1;
    if (many.output != one.output || many.status != one.status || many.left != one.left ||
        many.succeeded != one.succeeded)
      abort();
  }

  unsigned total = 0;
  size_t last = output.rfind("removed ");
  if (last == std::string::npos || sscanf(output.c_str() + last, "removed %u files", &total) != 1)
    abort();
  if (total != static_cast<unsigned>(one.succeeded)) abort();
  bool reported = output.find("Unable") != std::string::npos;
  if (status != (reported ? 2 : 0)) abort();

  // Where the sweep could reach, and why it could not.
  auto unreached = [&](const std::string& path) {
    for (std::string p = path; !p.empty();) {
      std::string parent = ParentOf(p);
      if (fs.open_errors.count(parent)) return true;
      // Past the limit on listings open at once.
      std::string listed = "Unable to list /work" + (parent.empty() ? "" : "/" + parent);
      if (output.find(listed + ", error " + std::to_string(EMFILE) + "\n") != std::string::npos)
        return true;
      auto fail = fs.read_errors.find(parent);
      if (fail != fs.read_errors.end() && fail->second.second != 0) {
        const std::vector<std::string>& names = children[parent];
        size_t at = std::find(names.begin(), names.end(), NameOf(p)) - names.begin();
        if (at + 2 >= fail->second.first) return true;  // after "." and ".."
      }
      p = parent;
    }
    return false;
  };
  std::map<std::string, const Entry*> by_path;
  for (const Entry& e : entries) by_path[e.path] = &e;
  for (const std::string& asked : fs.removals) {
    auto e = by_path.find(asked);
    if (e == by_path.end() || e->second->directory || !Matches(NameOf(asked), wanted)) abort();
    for (std::string p = ParentOf(asked); !p.empty(); p = ParentOf(p))
      if (by_path[p]->link) abort();
  }
  for (const Entry& e : entries) {
    if (e.directory || !fs.Exists(e.path) || !Matches(NameOf(e.path), wanted)) continue;
    bool linked = false;
    for (std::string p = ParentOf(e.path); !p.empty(); p = ParentOf(p)) linked |= by_path[p]->link;
    bool refused = fs.remove_errors.count(e.path) ||
                   ((e.attributes & kAttrReadOnly) && fs.attribute_errors.count(e.path));
    if (!linked && !refused && !unreached(e.path)) abort();
  }
  return 0;
}
