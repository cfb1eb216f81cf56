// The sweep over random trees in the in-memory file system, with failures
// injected at random, checked for what must hold whatever happens:
// - a file is asked to be removed only right after its "removing" line, and
//   only when it lies in the tree, below plain directories, and matches;
// - the total is the number of removals that succeeded;
// - a matching file is left only where a failure kept the sweep from it;
// - every listing opened is closed; the status is 2 exactly when a failure
//   was reported.
#include <errno.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/zapext.h"
#include "tests/virtual_file_system.h"

namespace {

const char* const kNames[] = {"a.bak", "B.BAK", "bak", ".bak", "c.bak.old", "d.ba", "e.", "...",
                              "f.bAk", "g",     "h.txt", "..bak", "bak.", "i.BAKx", " .bak"};
const char* const kWanted[] = {"bak", "BAK", "", "txt", "ba", ".bak", "*"};
const int kErrors[] = {EACCES, EIO, EMFILE, EBUSY};

// Checks that each removal comes right after the line that announces it,
// and counts the removals that succeeded.
class Watched : public VirtualFileSystem {
 public:
  FILE* out = nullptr;
  char** buffer = nullptr;
  size_t* size = nullptr;
  int succeeded = 0;

  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    fflush(out);
    std::string line = std::string("removing ") + static_cast<const char*>(path) + "\n";
    if (*size < line.size() || std::string(*buffer + *size - line.size()) != line) abort();
    int result = VirtualFileSystem::RemoveFile(dir, name, path);
    succeeded += result == 0;
    return result;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Watched fs;
  std::string wanted = input.PickValueInArray(kWanted);

  // The tree: each entry goes into a directory made before it.
  std::vector<Entry> entries;
  std::vector<std::string> directories = {""};
  std::map<std::string, std::vector<std::string>> children;  // in listing order
  int count = input.ConsumeIntegralInRange(0, 40);
  for (int i = 0; i < count; ++i) {
    std::string parent = directories[input.ConsumeIntegralInRange<size_t>(0, directories.size() - 1)];
    std::string name = input.ConsumeBool() ? input.PickValueInArray(kNames)
                                           : input.ConsumeRandomLengthString(12);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
      continue;
    std::string path = parent.empty() ? name : parent + "/" + name;
    if (fs.Exists(path)) continue;
    int kind = input.ConsumeIntegralInRange(0, 4);
    if (kind <= 1) {
      bool link = kind == 1 && input.ConsumeBool();
      fs.AddDirectory(path, kAttrDirectory | (link ? kAttrReparsePoint : 0));
      directories.push_back(path);  // a link too: what it leads to must stay
      entries.push_back({path, true, link, 0});
    } else {
      uint32_t attributes = kind == 4 ? 0x21 : 0x20;  // read-only or not
      fs.AddFile(path, attributes);
      entries.push_back({path, false, false, attributes});
    }
    children[parent].push_back(name);
  }

  // The failures.
  while (input.remaining_bytes() > 0 && input.ConsumeBool()) {
    const Entry& e = entries.empty() ? Entry{"", true, false, 0}
                                     : entries[input.ConsumeIntegralInRange<size_t>(0, entries.size() - 1)];
    int error = input.PickValueInArray(kErrors);
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0: fs.open_errors[e.path] = input.ConsumeBool() ? error : kErrorGone; break;
      case 1: fs.read_errors[e.path] = {input.ConsumeIntegralInRange<size_t>(0, 6), error}; break;
      case 2: fs.attribute_errors[e.path] = error; break;
      case 3: fs.remove_errors[e.path] = error; break;
      case 4: fs.vanish_before_remove.push_back(e.path); break;
    }
  }

  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  fs.out = out;
  fs.buffer = &buffer;
  fs.size = &length;
  std::string argument = wanted;
  char* argv[] = {const_cast<char*>("zapext"), &argument[0], nullptr};
  int status = ZapextMain(&fs, 2, argv, out);
  fclose(out);
  std::string output(buffer, length);
  free(buffer);

  if (fs.open_listings != 0 || testing::Test::HasFailure()) abort();
  unsigned total = 0;
  size_t last = output.rfind("removed ");
  if (last == std::string::npos || sscanf(output.c_str() + last, "removed %u files", &total) != 1)
    abort();
  if (total != static_cast<unsigned>(fs.succeeded)) abort();
  bool reported = output.find("Unable") != std::string::npos;
  if (status != (reported ? 2 : 0)) abort();

  // Where the sweep could reach, and why it could not.
  auto unreached = [&](const std::string& path) {
    for (std::string p = path; !p.empty();) {
      std::string parent = ParentOf(p);
      if (fs.open_errors.count(parent)) return true;
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
