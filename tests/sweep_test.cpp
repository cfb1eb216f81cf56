// The sweep and the front end against the in-memory file system, through
// every failure it can meet.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/zapext.h"
#include "platform/gone.h"
#include "platform/reparse_point.h"
#include "sweep/budget.h"
#include "sweep/sweep.h"
#include "sweep/worker_pool.h"
#include "tests/virtual_file_system.h"

// Memory that runs out on purpose: once armed, allocations fail after a
// countdown, all of them, on every thread, but for the fake file system's
// record of what was asked. And memory counted: while `counting`, the most
// the tool held at once, the fake file system's own left out.
namespace {
std::atomic<bool> allocations_armed{false};
std::atomic<long> allocations_left{0};
thread_local bool allocations_exempt = false;
std::atomic<bool> counting{false};
std::atomic<long> held_bytes{0};
std::atomic<long> most_held{0};
// In front of each block: what it counts for, keeping malloc's alignment.
const size_t kCountedRoom = alignof(std::max_align_t);

struct Exempt {
  Exempt() { allocations_exempt = true; }
  ~Exempt() { allocations_exempt = false; }
};
}  // namespace

#if defined(__GNUC__) && !defined(__clang__)
// What operator new returns comes from malloc here, and goes back to free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
  if (allocations_armed.load(std::memory_order_relaxed) && !allocations_exempt &&
      allocations_left.fetch_sub(1) <= 0)
    throw std::bad_alloc();
  char* block = static_cast<char*>(malloc(size + kCountedRoom));
  if (!block) throw std::bad_alloc();
  long counted = counting.load(std::memory_order_relaxed) && !allocations_exempt ? size : 0;
  memcpy(block, &counted, sizeof counted);
  if (counted) {
    long now = held_bytes += counted;
    long most = most_held.load();
    while (now > most && !most_held.compare_exchange_weak(most, now)) {
    }
  }
  return block + kCountedRoom;
}
void operator delete(void* memory) noexcept {
  if (!memory) return;
  char* block = static_cast<char*>(memory) - kCountedRoom;
  long counted;
  memcpy(&counted, block, sizeof counted);
  if (counted) held_bytes -= counted;
  free(block);
}
void operator delete(void* memory, size_t) noexcept { operator delete(memory); }

namespace {

struct Outcome {
  int status;
  std::string output;
};

Outcome RunZapext(VirtualFileSystem* fs, std::vector<std::string> args,
                  const ZapextOptions& options = ZapextOptions()) {
  args.insert(args.begin(), "zapext");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  int status = ZapextMain(fs, static_cast<int>(args.size()), argv.data(), out, options);
  fclose(out);
  Outcome run{status, std::string(buffer, size)};
  free(buffer);
  return run;
}

const uint32_t kFile = 0x20;  // archive, as a fresh file on Windows
const uint32_t kReadOnly = kFile | kAttrReadOnly;
const uint32_t kDirLink = kAttrDirectory | kAttrReparsePoint;

struct SweepCase {
  const char* title;
  std::function<void(VirtualFileSystem*)> setup;
  std::vector<std::string> args;
  const char* output;
  int status;
  std::vector<std::string> left;  // the tree afterwards
};

const SweepCase kSweepCases[] = {
    {"no argument: syntax message, nothing touched",
     [](VirtualFileSystem* fs) { fs->AddFile("a.bak"); },
     {},
     "\n\n\rSyntax : ZAPEXT <extension> \n\n\r",
     1,
     {"a.bak"}},
    {"subtree lines stand at the directory's place; directories stay",
     [](VirtualFileSystem* fs) {
       fs->AddFile("a.bak");
       fs->AddDirectory("old.bak");
       fs->AddFile("old.bak/x.BAK");
       fs->AddFile("old.bak/deep/y.Bak");
       fs->AddFile("keep.txt");
       fs->AddFile("bak");
     },
     {"bak", "ignored", "words"},
     "removing /work/a.bak\n"
     "removing /work/old.bak/x.BAK\n"
     "removing /work/old.bak/deep/y.Bak\n"
     "removing /work/bak\n"
     "removed 4 files\n\n",
     0,
     {"old.bak/", "old.bak/deep/", "keep.txt"}},
    {"nothing matches",
     [](VirtualFileSystem* fs) { fs->AddFile("a.bak"); },
     {"*.bak"},
     "removed 0 files\n\n",
     0,
     {"a.bak"}},
    {"current directory unreadable: nothing touched",
     [](VirtualFileSystem* fs) {
       fs->AddFile("a.bak");
       fs->current_directory_error = ENOENT;
     },
     {"bak"},
     "Unable to read the current directory, error 2\n",
     2,
     {"a.bak"}},
    {"a directory that cannot be listed is reported; its siblings still count",
     [](VirtualFileSystem* fs) {
       fs->AddFile("d1/a.bak");
       fs->AddFile("locked/b.bak");
       fs->AddFile("d2/c.bak");
       fs->open_errors["locked"] = EACCES;
     },
     {"bak"},
     "removing /work/d1/a.bak\n"
     "Unable to list /work/locked, error 13\n"
     "removing /work/d2/c.bak\n"
     "removed 2 files\n\n",
     2,
     {"d1/", "locked/", "locked/b.bak", "d2/"}},
    {"the starting directory cannot be listed",
     [](VirtualFileSystem* fs) {
       fs->AddFile("a.bak");
       fs->open_errors[""] = EACCES;
     },
     {"bak"},
     "Unable to list /work, error 13\n"
     "removed 0 files\n\n",
     2,
     {"a.bak"}},
    {"a listing that breaks off keeps what was done so far",
     [](VirtualFileSystem* fs) {
       fs->AddFile("d/a.bak");
       fs->AddFile("d/b.bak");
       fs->AddFile("e.bak");
       fs->read_errors["d"] = {3, EIO};  // ".", "..", a.bak, then the failure
     },
     {"bak"},
     "removing /work/d/a.bak\n"
     "Unable to list /work/d, error 5\n"
     "removing /work/e.bak\n"
     "removed 2 files\n\n",
     2,
     {"d/", "d/b.bak"}},
    {"read-only files are released, then removed and counted",
     [](VirtualFileSystem* fs) { fs->AddFile("r.bak", kReadOnly); },
     {"bak"},
     "removing /work/r.bak\n"
     "removed 1 files\n\n",
     0,
     {}},
    {"a refused release: one line, the file stays as it was, not counted",
     [](VirtualFileSystem* fs) {
       fs->AddFile("r.bak", kReadOnly);
       fs->AddFile("s.bak");
       fs->attribute_errors["r.bak"] = 5;
     },
     {"bak"},
     "Unable to remove read-only for /work/r.bak, error 5\n"
     "removing /work/s.bak\n"
     "removed 1 files\n\n",
     2,
     {"r.bak"}},
    {"a refused removal is reported, not counted",
     [](VirtualFileSystem* fs) {
       fs->AddFile("busy.bak");
       fs->AddFile("ok.bak");
       fs->remove_errors["busy.bak"] = 32;
     },
     {"bak"},
     "removing /work/busy.bak\n"
     "Unable to remove /work/busy.bak, error 32\n"
     "removing /work/ok.bak\n"
     "removed 1 files\n\n",
     2,
     {"busy.bak"}},
    {"a file someone else removed first is neither counted nor reported",
     [](VirtualFileSystem* fs) {
       fs->AddFile("gone.bak");
       fs->vanish_before_remove.push_back("gone.bak");
     },
     {"bak"},
     "removing /work/gone.bak\n"
     "removed 0 files\n\n",
     0,
     {}},
    {"a directory that vanished before it was listed is passed over silently",
     [](VirtualFileSystem* fs) {
       fs->AddFile("d/a.bak");
       fs->open_errors["d"] = kErrorGone;
     },
     {"bak"},
     "removed 0 files\n\n",
     0,
     {"d/", "d/a.bak"}},
    // Windows: what its failures tell the sweep (platform/gone.h).
    {"Windows: files being removed, or removed, elsewhere are neither counted nor reported",
     [](VirtualFileSystem* fs) {
       fs->AddFile("pending.bak");
       fs->AddFile("deleted.bak");
       fs->AddFile("missing.bak");
       fs->AddFile("r.bak", kReadOnly);
       fs->remove_errors["pending.bak"] = GoneOrError(Win32Error(kNtDeletePending, 5));
       fs->remove_errors["deleted.bak"] = GoneOrError(Win32Error(kNtFileDeleted, 5));
       fs->remove_errors["missing.bak"] = GoneOrError(kWin32FileNotFound);
       fs->attribute_errors["r.bak"] = GoneOrError(kWin32DeletePending);
     },
     {"bak"},
     "removing /work/pending.bak\n"
     "removing /work/deleted.bak\n"
     "removing /work/missing.bak\n"
     "removed 0 files\n\n",
     0,
     {"pending.bak", "deleted.bak", "missing.bak", "r.bak"}},
    {"Windows: directories being removed, or gone, are passed over silently",
     [](VirtualFileSystem* fs) {
       fs->AddFile("pending/a.bak");
       fs->AddFile("path/b.bak");
       fs->AddFile("file/c.bak");
       fs->AddFile("ending/d.bak");
       fs->AddFile("ending/e.bak");
       fs->open_errors["pending"] = GoneOrError(Win32Error(kNtDeletePending, 5));
       fs->open_errors["path"] = GoneOrError(kWin32PathNotFound);
       fs->open_errors["file"] = GoneOrError(kWin32NotADirectory);
       fs->read_errors["ending"] = {3, ListingError(Win32Error(kNtDeletePending, 5))};
     },
     {"bak"},
     "removing /work/ending/d.bak\n"
     "removed 1 files\n\n",
     0,
     {"pending/", "pending/a.bak", "path/", "path/b.bak", "file/", "file/c.bak", "ending/",
      "ending/e.bak"}},
    {"Windows: access denied stays a failure, for a file and a directory",
     [](VirtualFileSystem* fs) {
       fs->AddFile("a.bak");
       fs->AddFile("locked/b.bak");
       fs->remove_errors["a.bak"] = GoneOrError(Win32Error(0xC0000022, 5));  // STATUS_ACCESS_DENIED
       fs->open_errors["locked"] = GoneOrError(5);
       fs->read_errors[""] = {4, ListingError(5)};  // ".", "..", a.bak, locked
     },
     {"bak"},
     "removing /work/a.bak\n"
     "Unable to remove /work/a.bak, error 5\n"
     "Unable to list /work/locked, error 5\n"
     "Unable to list /work, error 5\n"
     "removed 0 files\n\n",
     2,
     {"a.bak", "locked/", "locked/b.bak"}},
    {"directory links are never entered nor removed",
     [](VirtualFileSystem* fs) {
       fs->AddDirectory("link.bak", kDirLink);
       fs->AddFile("link.bak/inside.bak");
     },
     {"bak"},
     "removed 0 files\n\n",
     0,
     {"link.bak/", "link.bak/inside.bak"}},
    {"only '.' and '..' themselves are passed over",
     [](VirtualFileSystem* fs) {
       fs->AddFile(".../a.bak");
       fs->AddFile("../b.bak");  // a name the fake takes as is: nested under ".."
       fs->AddFile("x/.bak");
     },
     {"bak"},
     "removing /work/.../a.bak\n"
     "removing /work/x/.bak\n"
     "removed 2 files\n\n",
     0,
     {".../", "../", "../b.bak", "x/"}},
    // With workers that would remove ahead, too: they only read.
    {"a dry run names what a run would remove, in its place, and touches nothing",
     [](VirtualFileSystem* fs) {
       fs->AddFile("r.bak", kReadOnly);
       fs->AddFile("d/busy.bak");
       fs->AddFile("locked/b.bak");
       fs->AddFile("z.bak");
       fs->AddFile("keep.txt");
       fs->attribute_errors["r.bak"] = 5;
       fs->remove_errors["d/busy.bak"] = 32;
       fs->open_errors["locked"] = EACCES;
     },
     {"-n", "bak", "ignored"},
     "would remove /work/r.bak\n"
     "would remove /work/d/busy.bak\n"
     "Unable to list /work/locked, error 13\n"
     "would remove /work/z.bak\n"
     "would remove 3 files\n\n",
     2,
     {"r.bak", "d/", "d/busy.bak", "locked/", "locked/b.bak", "z.bak", "keep.txt"}},
    {"an empty extension removes names that end in a dot",
     [](VirtualFileSystem* fs) {
       fs->AddFile("a.");
       fs->AddFile("b");
     },
     {""},
     "removing /work/a.\n"
     "removed 1 files\n\n",
     0,
     {"b"}},
};

// Worker threads change nothing in what the tool prints or leaves, whether
// they remove files ahead of the sweep or, for a watched output, only read,
// and whether they act as on a network file system, where they wait.
const ZapextOptions kEngines[] = {{0, false, nullptr},
                                  {1, false, nullptr},
                                  {3, false, nullptr},
                                  {3, true, nullptr},
                                  {8, false, nullptr, false, true},
                                  {3, false, nullptr, false, false, true}};

// Whether workers read ahead of the sweep: none starts where each
// processor is taken.
bool ReadsAhead(const ZapextOptions& options) {
  return options.workers > 0 && !options.as_if_busy;
}

// An engine as a test's trace names it.
std::string EngineName(const ZapextOptions& options) {
  return std::to_string(options.workers) + " workers" + (options.watched ? ", watched" : "") +
         (options.as_if_waiting ? ", waiting" : "") + (options.as_if_busy ? ", busy" : "");
}

TEST(SweepTest, Cases) {
  for (const ZapextOptions& options : kEngines) {
    for (const SweepCase& c : kSweepCases) {
      SCOPED_TRACE(std::string(c.title) + ", " + EngineName(options));
      VirtualFileSystem fs;
      c.setup(&fs);
      Outcome run = RunZapext(&fs, c.args, options);
      EXPECT_EQ(c.output, run.output);
      EXPECT_EQ(c.status, run.status);
      EXPECT_EQ(c.left, fs.Tree());
      EXPECT_EQ(0, fs.open_listings);
    }
  }
}

// "../b.bak" above is only reachable if ".." is swept as a name: it must not be.
TEST(SweepTest, DotDotWithoutDirectoryBitIsAFile) {
  VirtualFileSystem fs;
  fs.AddFile("..", kFile);
  Outcome run = RunZapext(&fs, {""});
  EXPECT_EQ("removing /work/..\nremoved 1 files\n\n", run.output);
}

TEST(SweepTest, ReleasedAttributeComesBackWhenRemovalFails) {
  VirtualFileSystem fs;
  fs.AddFile("r.bak", kReadOnly | 0x02);
  fs.remove_errors["r.bak"] = 32;
  Outcome run = RunZapext(&fs, {"BAK"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(kReadOnly | 0x02, fs.AttributesOf("r.bak"));
}

// Interrupted as it removes its first file, the sweep goes no further, and
// the total tells what was done.
class InterruptedOnRemoval : public VirtualFileSystem {
 public:
  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    interrupted = 2;
    return VirtualFileSystem::RemoveFile(dir, name, path);
  }
  std::atomic<int> interrupted{0};
};

TEST(SweepTest, InterruptionStopsAfterTheFileAtHand) {
  for (ZapextOptions options : kEngines) {
    SCOPED_TRACE(EngineName(options));
    InterruptedOnRemoval fs;
    fs.AddFile("d/a.bak");
    fs.AddFile("d/b.bak");
    fs.AddFile("e/c.bak");
    options.interrupted = &fs.interrupted;
    Outcome run = RunZapext(&fs, {"bak"}, options);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(0, fs.open_listings);
    // Each worker finishes its file at hand: one reading e may have removed
    // c.bak as well, or first. What is gone is told.
    if (options.workers > 0 && !options.watched) {
      std::string told;
      int gone = 0;
      for (const char* file : {"d/a.bak", "e/c.bak"}) {
        if (fs.Exists(file)) continue;
        told += std::string("removing /work/") + file + "\n";
        ++gone;
      }
      EXPECT_TRUE(fs.Exists("d/b.bak"));
      EXPECT_EQ(told + "removed " + std::to_string(gone) + " files\n\n", run.output);
      continue;
    }
    EXPECT_EQ("removing /work/d/a.bak\nremoved 1 files\n\n", run.output);
    EXPECT_EQ(std::vector<std::string>({"d/", "d/b.bak", "e/", "e/c.bak"}), fs.Tree());
  }
}

TEST(SweepTest, DriveRootGivesTwoSeparators) {
  VirtualFileSystem fs("C:\\", '\\');
  fs.AddFile("a.bak");
  fs.AddFile("old/b.bak");
  Outcome run = RunZapext(&fs, {"bak"});
  EXPECT_EQ("removing C:\\\\a.bak\nremoving C:\\\\old\\b.bak\nremoved 2 files\n\n", run.output);
}

// A Windows listing's directory entries, as the attribute word and reparse
// tag it gives, and whether the sweep enters them: links, junctions and
// mount points are passed over; any other reparse point is a directory.
struct ReparseCase {
  const char* title;
  uint32_t attributes;
  uint32_t tag;
  bool entered;
};

const ReparseCase kReparseCases[] = {
    {"plain directory", kAttrDirectory, 0, true},
    {"symbolic link", kDirLink, 0xA000000C, false},
    {"junction or mount point", kDirLink, 0xA0000003, false},
    {"WSL symbolic link", kDirLink, 0xA000001D, false},
    {"link without a tag (wine)", kDirLink, 0, false},
    {"OneDrive placeholder (cloud files)", kDirLink | 0x400000, 0x9000601A, true},
    {"cloud files, plain tag", kDirLink, 0x9000001A, true},
    {"ProjFS virtualised folder", kDirLink, 0x9000001C, true},
    {"deduplicated", kDirLink, 0x80000013, true},
    {"container isolation", kDirLink, 0x90000001, true},
    {"a tag on an entry without the bit", kAttrDirectory, 0xA000000C, true},
};

TEST(SweepTest, OnlyLinksJunctionsAndMountPointsArePassedOver) {
  for (const ReparseCase& c : kReparseCases) {
    SCOPED_TRACE(c.title);
    VirtualFileSystem fs;
    fs.AddDirectory("d", ListedAttributes(c.attributes, c.tag));
    fs.AddFile("d/x.bak");
    Outcome run = RunZapext(&fs, {"bak"});
    EXPECT_EQ(c.entered ? "removing /work/d/x.bak\nremoved 1 files\n\n" : "removed 0 files\n\n",
              run.output);
  }
  // Read-only is left to the removal, which releases it through the file's handle.
  EXPECT_EQ(0x20u, ListedAttributes(0x21, 0));
}

// Records where the stack stands each time a level opens its listing.
class StackProbe : public VirtualFileSystem {
 public:
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    frames.push_back(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    return VirtualFileSystem::OpenListing(parent, entry, path, error);
  }
  std::vector<uintptr_t> frames;
};

TEST(SweepTest, OneOpenListingAndLittleStackPerLevel) {
  StackProbe fs;
  std::string path;
  for (int i = 0; i < 50; ++i) {
    path += "d/";
    fs.AddFile(path + "x.bak");
    fs.AddFile(path + "y.txt");
  }
  Outcome run = RunZapext(&fs, {"bak"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(51, fs.max_open_listings);
  EXPECT_EQ(0, fs.open_listings);
  EXPECT_EQ(50u, fs.removals.size());
  // The stack grows downwards; the entry gives each level this much of it.
  ASSERT_EQ(51u, fs.frames.size());
  uintptr_t per_level = (fs.frames[1] - fs.frames[50]) / 49;
  printf("[ figures ] stack per level: %zu bytes\n", static_cast<size_t>(per_level));
  EXPECT_LE(per_level, kSweepStackPerLevel);
}

// Records how many listings the sweep had closed when each file went.
class ClosingWatch : public VirtualFileSystem {
 public:
  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    {
      std::lock_guard<std::mutex> locked(watch_);
      closed_at[name] = closed_by_sweep;
    }
    return VirtualFileSystem::RemoveFile(dir, name, path);
  }
  std::map<std::string, int> closed_at;

 private:
  std::mutex watch_;
};

// A matching file goes before the sweep leaves the directories listed after
// it, never at the end of the run: the window in which its directory could
// be moved away under it stays the single-threaded sweep's.
TEST(SweepTest, AFileGoesBeforeTheSweepPassesIt) {
  for (const ZapextOptions& options : kEngines) {
    SCOPED_TRACE(EngineName(options));
    ClosingWatch fs;
    fs.AddFile("first.bak");
    // Each with a directory inside, so that the sweep closes it itself.
    for (int i = 0; i < 300; ++i) fs.AddDirectory("d" + std::to_string(i) + "/in");
    Outcome run = RunZapext(&fs, {"bak"}, options);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0, fs.closed_at["first.bak"]);
  }
}

// Holds the sweep as it opens "d0" itself until a worker has opened a
// listing (ten seconds at most: a guard against a hang).
class WorkerWatch : public VirtualFileSystem {
 public:
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    if (std::this_thread::get_id() != sweep_thread) {
      std::lock_guard<std::mutex> locked(watch_);
      worker_opened = true;
      opened_.notify_all();
    } else if (entry && strcmp(entry->name, "d0") == 0) {
      std::unique_lock<std::mutex> locked(watch_);
      opened_.wait_for(locked, std::chrono::seconds(10), [this] { return worker_opened; });
    }
    return VirtualFileSystem::OpenListing(parent, entry, path, error);
  }
  bool worker_opened = false;

 private:
  std::mutex watch_;
  std::condition_variable opened_;
};

// Asked for, workers start once there is work to hand over, and take it.
TEST(SweepTest, WaitingDirectoriesAreReadByAWorker) {
  for (const ZapextOptions& options : kEngines) {
    if (!ReadsAhead(options)) continue;
    SCOPED_TRACE(EngineName(options));
    WorkerWatch fs;
    for (int i = 0; i < 5; ++i) fs.AddFile("d" + std::to_string(i) + "/x.bak");
    Outcome run = RunZapext(&fs, {"bak"}, options);
    EXPECT_EQ(0, run.status);
    EXPECT_TRUE(fs.worker_opened);
  }
}

// Whether the first worker starts: only where a processor is free beside
// the sweep's, or where the file system keeps threads waiting.
TEST(SweepTest, AWorkerStartsOnlyWhereItCanWin) {
  struct Row {
    const char* machine;
    unsigned others;  // threads of other programs running
    unsigned processors;
    bool blocked;  // the sweep's readings waited on the file system
    bool starts;
  };
  const Row kRows[] = {
      {"quiet, two processors", 0, 2, false, true},
      {"another program busy on the other processor", 1, 2, false, false},
      {"one processor", 0, 1, false, false},
      {"two of four processors taken", 2, 4, false, true},
      {"every processor taken", 4, 4, false, false},
      {"busy, but on a network share", 3, 2, true, true},
      {"one processor, the sweep's readings wait on a network share", 0, 1, true, true},
  };
  for (const Row& row : kRows)
    EXPECT_EQ(row.starts, StartsFirstWorker(row.others, row.processors, row.blocked)) << row.machine;
}

// When the sweep, waiting for a directory a worker reads, is woken: once
// it is read, at once unless the file system keeps the workers waiting;
// then once half as many more as may run are read too, or a worker has
// nothing to do, or none works.
TEST(SweepTest, TheSweepWaitingIsWokenAsItCanGoOn) {
  struct Row {
    const char* when;
    bool done, blocked;
    unsigned done_since, active, idle, working;
    bool wakes;
  };
  const Row kRows[] = {
      {"its directory not read yet", false, true, 9, 8, 1, 0, false},
      {"read, the processors the limit", true, false, 0, 1, 0, 1, true},
      {"read, on a network share, the others busy", true, true, 3, 8, 0, 7, false},
      {"read, and four more", true, true, 4, 8, 0, 8, true},
      {"read, a worker out of work", true, true, 0, 8, 1, 7, true},
      {"read, the last of them", true, true, 0, 8, 0, 0, true},
      {"read, one may work at once", true, true, 0, 1, 0, 1, true},
  };
  for (const Row& row : kRows)
    EXPECT_EQ(row.wakes, WakesTheSweep(row.done, row.blocked, row.done_since, row.active, row.idle,
                                       row.working))
        << row.when;
}

// A thread clock that moves in ticks times no window of a millisecond: the
// workers then work as where the file system keeps them waiting.
TEST(SweepTest, AClockOfTicksTimesNoThread) {
  struct Row {
    const char* clock;
    long long thread_ns, process_ns;
    bool ticks;
  };
  const Row kRows[] = {
      {"a user-mode kernel's, in ticks of 10 ms", 70000000, 120000000, true},
      {"there, a thread that has not met a tick", 0, 30000000, true},
      {"in nanoseconds", 1234567, 7654321, false},
      {"in nanoseconds, the thread's a whole millisecond by chance", 3000000, 5123457, false},
  };
  for (const Row& row : kRows)
    EXPECT_EQ(row.ticks, MovesInTicks(row.thread_ns, row.process_ns)) << row.clock;
}

// When a machine found busy is looked at again for the first worker: by
// the time since, however many directories were handed over meanwhile.
TEST(SweepTest, ABusyMachineIsLookedAtAgainByTheClock) {
  using std::chrono::microseconds;
  struct Row {
    const char* when;
    unsigned refused;  // looks that found no processor free
    microseconds since;  // the last of them
    microseconds since_made;  // the pool
    bool looks;
    bool at_start;  // the program that started the process is not counted
  };
  const Row kRows[] = {
      {"the first hand-over", 0, microseconds(0), microseconds(400), true, true},
      {"the first hand-over, after a chain of directories", 0, microseconds(0), microseconds(2000),
       true, false},
      {"just found busy", 1, microseconds(10), microseconds(410), false, false},
      {"found busy once, a tenth of a millisecond ago", 1, microseconds(100), microseconds(500),
       true, false},
      {"found busy three times, 0.3 ms ago", 3, microseconds(300), microseconds(900), false, false},
      {"found busy three times, 0.4 ms ago", 3, microseconds(400), microseconds(1000), true, false},
      {"busy all along, 1.5 ms ago", 50, microseconds(1500), microseconds(80000), false, false},
      {"busy all along, 1.6 ms ago", 50, microseconds(1600), microseconds(80000), true, false},
      {"busy for a very long run", 4000000000u, microseconds(1600), microseconds(1000000000), true,
       false},
  };
  for (const Row& row : kRows) {
    EXPECT_EQ(row.looks, LooksAgain(row.refused, row.since)) << row.when;
    EXPECT_EQ(row.at_start, LooksAtStart(row.refused, row.since_made)) << row.when;
  }
}

// Whether the sweep, no worker started, reads the directory it enters as
// it goes: only while a look found no processor free, until the next.
TEST(SweepTest, ABusyMachineIsSweptAsByOneThreadBetweenLooks) {
  using std::chrono::microseconds;
  struct Row {
    const char* when;
    bool started, blocked;
    unsigned refused;
    microseconds since;  // the last look
    bool alone;
  };
  const Row kRows[] = {
      {"not looked at yet", false, false, 0, microseconds(0), false},
      {"just found busy", false, false, 1, microseconds(10), true},
      {"found busy, time to look again", false, false, 1, microseconds(100), false},
      {"busy all along, 1.5 ms since", false, false, 50, microseconds(1500), true},
      {"busy all along, 1.6 ms since", false, false, 50, microseconds(1600), false},
      {"found busy, then a worker started", true, false, 3, microseconds(10), false},
      {"found busy, on a network share", false, true, 3, microseconds(10), false},
  };
  for (const Row& row : kRows)
    EXPECT_EQ(row.alone, SweepsAlone(row.started, row.blocked, row.refused, row.since)) << row.when;
}

// Runs `round` with each engine that has workers (watched too, where
// `watched`) until it says the sweep was held where it meant to hold it,
// 20 rounds at most (a worker may take "a" before the sweep comes to it),
// and expects it was.
void UntilHeld(bool watched, const std::function<bool(const ZapextOptions&)>& round) {
  for (const ZapextOptions& options : kEngines) {
    if (!ReadsAhead(options) || (options.watched && !watched)) continue;
    bool held = false;
    for (int i = 0; i < 20 && !held && !::testing::Test::HasFailure(); ++i) {
      SCOPED_TRACE(EngineName(options) + ", round " + std::to_string(i));
      held = round(options);
    }
    EXPECT_TRUE(held || ::testing::Test::HasFailure());
  }
}

// The files an output names as removed.
size_t Told(const std::string& output) {
  size_t told = 0;
  for (size_t at = 0; (at = output.find("removing ", at)) != std::string::npos; ++at) ++told;
  return told;
}

// Where `hold`, the sweep's open of "a" waits until workers have opened
// `needed` of the directories `names` (ten seconds at most: a guard against
// a hang); `held` tells whether it came to that.
class HeldAtA : public VirtualFileSystem {
 public:
  HeldAtA(std::vector<std::string> names, int needed) : names_(std::move(names)), needed_(needed) {}
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    std::string name = entry ? entry->name : "";
    bool worker = std::this_thread::get_id() != sweep_thread;
    if (hold && name == "a" && !worker) {
      std::unique_lock<std::mutex> locked(watch_);
      held = opened_.wait_for(locked, std::chrono::seconds(10), [this] { return AllOpened(); });
    }
    Opening(name);
    std::unique_ptr<Listing> listing = VirtualFileSystem::OpenListing(parent, entry, path, error);
    if (listing && worker && std::count(names_.begin(), names_.end(), name)) {
      std::lock_guard<std::mutex> locked(watch_);
      ++count_;
      opened_.notify_all();
    }
    return listing;
  }
  bool hold = false;
  bool held = false;

 protected:
  // Before `name` is opened, on any thread.
  virtual void Opening(const std::string&) {}
  // With `watch_` held.
  bool AllOpened() const { return count_ >= needed_; }
  std::mutex watch_;

 private:
  std::vector<std::string> names_;
  int needed_;
  std::condition_variable opened_;
  int count_ = 0;
};

// Room for `limit` listings at once. Where held, the sweep's open of "a"
// waits until a worker has opened "c", which comes after the chain below
// "b", or "e" at the chain's bottom. Whether a worker closed "b", read whole
// with its one directory opened, is told.
class FewHandles : public HeldAtA {
 public:
  FewHandles(int limit, bool hold) : HeldAtA({"c", "e"}, 1) {
    handle_limit = limit;
    this->hold = hold;
  }
  void ListingClosed(const std::string& path) override {
    if (path != "b" || std::this_thread::get_id() == sweep_thread) return;
    std::lock_guard<std::mutex> locked(watch_);
    b_closed_ahead = true;
  }
  bool b_closed_ahead = false;
};

// A directory closed ahead is entered without its listing. Where the sweep
// could run short of handles, it opens again every level it is in: it lists
// exactly as deep as the single-threaded sweep, here 64 levels. Workers, with the
// levels above them closed ahead, could hold open deeper ones than that:
// they open none deeper than the single-threaded sweep is sure to reach.
TEST(SweepTest, LevelsClosedAheadAreHeldWhereHandlesRunShort) {
  auto build = [](VirtualFileSystem* fs) {
    fs->AddFile("a/x.bak");
    std::string chain = "b";
    for (int level = 0; level < 69; ++level) fs->AddFile((chain += "/d") + "/x.bak");
    fs->AddFile(chain + "/e/x.bak");
    fs->AddFile("c/x.bak");
    fs->AddFile("c2/x.bak");  // two waiting: a worker takes the first
  };
  FewHandles alone(64, false);
  build(&alone);
  Outcome expected = RunZapext(&alone, {"bak"});
  ASSERT_EQ(2, expected.status);
  // Watched, the levels with a file to remove stay open ahead: the workers
  // run out of room long before "c".
  UntilHeld(false, [&](const ZapextOptions& options) {
    FewHandles fs(64, true);
    build(&fs);
    Outcome run = RunZapext(&fs, {"bak"}, options);
    EXPECT_EQ(expected.output, run.output);
    EXPECT_EQ(expected.status, run.status);
    EXPECT_EQ(alone.Tree(), fs.Tree());
    // Where the workers wait for the file system, nothing is closed ahead.
    EXPECT_TRUE(!fs.held || fs.b_closed_ahead || options.as_if_waiting);
    return fs.held;
  });
}

// Room for 12 listings at once, none closed ahead. Where `short_once`, the
// sweep's opening of "a" waits until workers hold "s1" and "s2" open ahead,
// and memory runs short as "f", at the bottom of the chain below "a", is
// first opened while they do.
class ShortWhileHeld : public HeldAtA {
 public:
  explicit ShortWhileHeld(bool short_once) : HeldAtA({"s1", "s2"}, 2) {
    handle_limit = 12;
    free_told = 9;  // deep enough to open "s1" and "s2" ahead
    hold = short_once;
  }
  bool ran_short = false;

 private:
  void Opening(const std::string& name) override {
    if (!hold || name != "f") return;
    std::lock_guard<std::mutex> locked(watch_);
    if (AllOpened() && !ran_short) {
      ran_short = true;
      throw std::bad_alloc();
    }
  }
};

// Opened again after memory ran short, a directory gets back the handles
// held ahead, as any other open of the sweep's: the single-threaded sweep has
// room for "f".
TEST(SweepTest, AnOpenAfterMemoryRanShortGetsHandlesBack) {
  auto build = [](VirtualFileSystem* fs) {
    fs->AddFile("a/b/c/d/e/g/h/i/j/f/x.bak");
    for (const char* sibling : {"s1", "s2", "s3"}) fs->AddFile(std::string(sibling) + "/x.bak");
  };
  ShortWhileHeld alone(false);
  build(&alone);
  Outcome expected = RunZapext(&alone, {"bak"});
  ASSERT_EQ(0, expected.status);
  // Until memory runs short with both held.
  UntilHeld(true, [&](const ZapextOptions& options) {
    ShortWhileHeld fs(true);
    build(&fs);
    Outcome run = RunZapext(&fs, {"bak"}, options);
    EXPECT_EQ(expected.output, run.output);
    EXPECT_EQ(0, run.status);
    return fs.ran_short;
  });
}

// Read ahead in part, a directory's listing is given back all the same when
// the sweep runs short of handles: opened again as the sweep comes to it,
// and read from its start, it passes over what its first block held, a
// file whose removal failed and a directory among them. The sweep's open
// of "a" waits until a worker has opened "big"; with room for 12 listings,
// the single-threaded sweep reaches the bottom of the chain below "a".
TEST(SweepTest, AListingReadInPartIsGivenBackToo) {
  const std::string kBig = "big/entry-with-a-name-long-enough-to-fill-blocks-";
  auto build = [&kBig](HeldAtA* fs) {
    fs->handle_limit = 12;
    fs->free_told = 9;  // "big" is opened ahead, the chain is not
    fs->AddFile("a/b/c/d/e/f/g/h/i/j/k/x.bak");
    for (int i = 0; i < 1000; ++i) {
      std::string name = kBig + std::to_string(i);
      fs->AddFile(i % 100 == 20 ? name + "/in.bak" : name + (i % 7 ? ".txt" : ".bak"));
    }
    fs->remove_errors[kBig + "14.bak"] = EACCES;
    fs->AddFile("z/y.bak");
  };
  HeldAtA alone({"big"}, 1);
  build(&alone);
  Outcome expected = RunZapext(&alone, {"bak"});
  ASSERT_EQ(2, expected.status);
  ASSERT_EQ(std::string::npos, expected.output.find("Unable to list"));
  UntilHeld(true, [&](const ZapextOptions& options) {
    HeldAtA fs({"big"}, 1);
    build(&fs);
    fs.hold = true;
    Outcome run = RunZapext(&fs, {"bak"}, options);
    EXPECT_EQ(expected.output, run.output);
    EXPECT_EQ(alone.Tree(), fs.Tree());
    return fs.held;
  });
}

// A directory opened ahead, then moved out of the tree while the sweep was
// held back at "a", is not swept where it went: as the single-threaded sweep, which
// had not opened it, the sweep finds nothing by its name and goes on. Its
// first block was read, its files removed ahead, and a subdirectory with no
// match opened, before it went: those files are told all the same.
class MovedAway : public HeldAtA {
 public:
  // Held until workers have opened `needed` of `names`.
  explicit MovedAway(std::vector<std::string> names = {"s0"}, int needed = 1)
      : HeldAtA(std::move(names), needed) {
    hold = true;
  }
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    std::unique_ptr<Listing> listing = HeldAtA::OpenListing(parent, entry, path, error);
    if (std::this_thread::get_id() == sweep_thread && entry && strcmp(entry->name, "a") == 0 &&
        held && !moved) {
      moved = true;
      MoveAway("m1");
    }
    return listing;
  }
  bool moved = false;
};

// Sweeps the tree of `fs`, with work beside "m1" that a worker then takes:
// nothing is removed where "m1" went, and every file removed is told.
void SweepMovedAway(MovedAway* fs, const ZapextOptions& options) {
  fs->AddFile("m2/y.bak");
  fs->AddFile("z.bak");
  Outcome run = RunZapext(fs, {"bak"}, options);
  EXPECT_EQ(0, fs->removed_away.load());
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("removed " + std::to_string(Told(run.output)) + " files\n\n",
            run.output.substr(run.output.rfind("removed ")));
  EXPECT_FALSE(fs->Exists("z.bak"));
}

TEST(SweepTest, ADirectoryMovedAwayIsNotSweptWhereItWent) {
  UntilHeld(true, [](const ZapextOptions& options) {
    MovedAway fs;
    fs.AddFile("a/x.bak");
    fs.AddFile("m1/s0/keep.txt");
    for (int i = 0; i < 1500; ++i)
      fs.AddFile("m1/entry-with-a-name-long-enough-to-fill-blocks-" + std::to_string(i) + ".bak");
    SweepMovedAway(&fs, options);
    return fs.held;
  });
}

// The same, where the directory moved away has nothing more done through
// it: read whole, its every subdirectory opened (where the workers wait for
// the file system), and its files and theirs, in their first blocks,
// removed. It is not asked where it stands; "s0", read in part, is checked
// by its own path as the sweep enters it, not through the listing of a
// directory gone: nothing more is removed from it where it went.
class DealtWithThenMovedAway : public MovedAway {
 public:
  // Held until each of the nine has had its subdirectory opened: its
  // first block has been read.
  DealtWithThenMovedAway() : MovedAway({"t"}, 9) {}
  bool StillAt(Listing* parent, const DirEntry& entry, const CString& path, Listing* dir,
               bool requests_wait) override {
    if (strcmp(entry.name, "m1") == 0) m1_asked = true;
    return VirtualFileSystem::StillAt(parent, entry, path, dir, requests_wait);
  }
  bool m1_asked = false;  // on the sweep's thread
};

TEST(SweepTest, ADirectoryDealtWithThenMovedAwayIsNotSweptWhereItWent) {
  UntilHeld(true, [](const ZapextOptions& options) {
    // Elsewhere a directory of nine is asked where it stands: as above.
    if (!options.as_if_waiting) return true;
    DealtWithThenMovedAway fs;
    fs.AddFile("a/x.bak");
    for (int i = 0; i < 9; ++i) {
      fs.AddFile("m1/s" + std::to_string(i) + "/t/keep.txt");
      fs.AddFile("m1/s" + std::to_string(i) + "/x.bak");
    }
    for (int i = 0; i < 1500; ++i)
      fs.AddFile("m1/s0/entry-with-a-name-long-enough-to-fill-blocks-" + std::to_string(i) + ".bak");
    SweepMovedAway(&fs, options);
    return fs.held && !fs.m1_asked;
  });
}

// Memory runs short on the sweep's thread as it enters "d", opened ahead
// while it was held at "a" (here as it checks where "d" is), and a worker removes the files of "e" ahead,
// held at its first until then: every thread stops after the file at hand,
// as for an interruption, and every file removed is told.
class ShortOnTheSweep : public HeldAtA {
 public:
  ShortOnTheSweep() : HeldAtA({"d"}, 1) { hold = true; }
  bool StillAt(Listing* parent, const DirEntry& entry, const CString& path, Listing* dir,
               bool requests_wait) override {
    if (strcmp(entry.name, "d") == 0) throw std::bad_alloc();
    return VirtualFileSystem::StillAt(parent, entry, path, dir, requests_wait);
  }
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    if (entry && strcmp(entry->name, "d") == 0 && std::this_thread::get_id() != sweep_thread) {
      std::lock_guard<std::mutex> locked(watch_);
      d_ahead = true;
    }
    return HeldAtA::OpenListing(parent, entry, path, error);
  }
  // After the sweep has caught the failure: its listing of "d" closes.
  void ListingClosed(const std::string& path) override {
    if (path != "d" || std::this_thread::get_id() != sweep_thread) return;
    std::lock_guard<std::mutex> locked(watch_);
    ran_short = true;
    short_.notify_all();
  }
  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    if (std::this_thread::get_id() != sweep_thread) {
      std::unique_lock<std::mutex> locked(watch_);
      if (ran_short)
        ++removed_after;
      else if (d_ahead && strstr(path, "/e/"))  // ten seconds at most: a guard against a hang
        short_.wait_for(locked, std::chrono::seconds(10), [this] { return ran_short; });
    }
    return VirtualFileSystem::RemoveFile(dir, name, path);
  }
  bool d_ahead = false;
  bool ran_short = false;
  int removed_after = 0;

 private:
  std::condition_variable short_;
};

TEST(SweepTest, OutOfMemoryStopsEveryThread) {
  UntilHeld(true, [](const ZapextOptions& options) {
    ShortOnTheSweep fs;
    fs.AddFile("a/x.bak");
    fs.AddFile("d/x.bak");
    // Too many to open below it at once, and one of them fails to open
    // ahead: it stays open ahead, for the sweep to open that one through.
    for (int i = 0; i < 9; ++i) fs.AddFile("d/s" + std::to_string(i) + "/keep.txt");
    fs.open_errors["d/s8"] = EACCES;
    for (int i = 0; i < 200; ++i) fs.AddFile("e/f" + std::to_string(i) + ".bak");
    fs.AddFile("g/y.bak");
    Outcome run = RunZapext(&fs, {"bak"}, options);
    if (!fs.ran_short) return false;
    EXPECT_LE(fs.removed_after, static_cast<int>(options.workers));
    EXPECT_EQ(2, run.status);
    size_t told = Told(run.output);
    EXPECT_EQ(fs.removals.size(), told) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Unable to go on: out of memory\n"));
    return fs.ran_short;
  });
}

// Directories read in many blocks, with workers reading blocks ahead: every
// entry is met once, in order. In the second, the last blocks of "d" hold
// nothing for the sweep, and work waits beyond it: read ahead to its end, "d"
// must stay open while the sweep, still in an earlier block, opens and
// removes through it.
TEST(SweepTest, ManyBlocksGiveTheOneThreadLines) {
  struct Shape {
    int entries;
    int removable;  // of the first entries
  };
  const Shape kShapes[] = {{3000, 3000}, {700, 320}};
  for (const Shape& shape : kShapes) {
    auto build = [&shape](VirtualFileSystem* fs) {
      for (int i = 0; i < shape.entries; ++i) {
        std::string name = "d/entry-with-a-name-long-enough-to-fill-blocks-" + std::to_string(i);
        if (i >= shape.removable)
          fs->AddFile(name + ".txt");
        else if (i % 10 == 7)
          fs->AddFile(name + "/inside.bak");
        else
          fs->AddFile(name + (i % 3 ? ".txt" : ".bak"));
      }
      for (int i = 0; i < 20; ++i) fs->AddFile("e" + std::to_string(i) + "/x.bak");
    };
    VirtualFileSystem alone;
    build(&alone);
    Outcome expected = RunZapext(&alone, {"bak"});
    ASSERT_EQ(0, expected.status);
    for (const ZapextOptions& options : kEngines) {
      for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(std::to_string(shape.entries) + " entries, " + EngineName(options) +
                     ", round " + std::to_string(round));
        VirtualFileSystem fs;
        build(&fs);
        Outcome run = RunZapext(&fs, {"bak"}, options);
        EXPECT_EQ(expected.output, run.output);
        EXPECT_EQ(alone.Tree(), fs.Tree());
      }
    }
  }
}

// A real listing allocates as it opens; a removal does not.
class ShortOfMemory : public VirtualFileSystem {
 public:
  int SetAttributes(Listing* dir, const char* name, const CString& path,
                    uint32_t attributes) override {
    Exempt exempt;
    return VirtualFileSystem::SetAttributes(dir, name, path, attributes);
  }
  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    Exempt exempt;
    return VirtualFileSystem::RemoveFile(dir, name, path);
  }
};

// The fake file system's own memory, a snapshot of each directory as it
// is opened, is not the tool's.
class Uncounted : public HeldAtA {
 public:
  using HeldAtA::HeldAtA;
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    Exempt exempt;
    return HeldAtA::OpenListing(parent, entry, path, error);
  }
};

// What is read ahead stays within the budget, counted at what it costs,
// however little an entry takes to list: here directories of thousands of
// subdirectories with the shortest names, each costing far more to keep
// than its name did to list. The sweep waits at "a" until workers have read
// three of them ahead. Besides the budget, the tool holds only the block it
// reads at each of its levels, and what the workers read now.
TEST(SweepTest, ReadAheadStaysWithinItsBudget) {
  const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::vector<std::string> kWide = {"d0", "d1", "d2", "d3"};
  UntilHeld(true, [&](const ZapextOptions& options) {
    Uncounted fs(kWide, 3);
    fs.hold = true;
    fs.free_told = 9;  // their subdirectories are left to the sweep
    fs.AddDirectory("a");
    for (const std::string& wide : kWide) {
      for (int i = 0; i < 4200; ++i)
        fs.AddDirectory(wide + "/" + kDigits[i / 36 / 36 % 36] + kDigits[i / 36 % 36] +
                        kDigits[i % 36]);
    }
    held_bytes = most_held = 0;
    counting = true;
    Outcome run = RunZapext(&fs, {"bak"}, options);
    counting = false;
    EXPECT_EQ("removed 0 files\n\n", run.output);
    EXPECT_LE(most_held, static_cast<long>(Budget::kMaxBytes + (256 << 10)));
    if (fs.held) printf("[ figures ] most held: %ld KiB\n", most_held.load() >> 10);
    return fs.held;
  });
}

// Memory short as a listing keeps the entries it has just read (the one on
// getdents64 allocates there; the one on readdir does not): they are read
// again once there is room, none lost and none given twice. On a thread of
// its own, whose listings have left it no block to read into.
TEST(SweepTest, AListingShortOfMemoryLosesNoEntry) {
  char path[] = "/tmp/zapext-short.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(path));
  std::multiset<std::string> made = {".", ".."};
  for (const char* name : {"a.bak", "b.txt", "c"}) {
    ASSERT_EQ(0, close(open((std::string(path) + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644)));
    made.insert(name);
  }
  int back = open(".", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(back, 0);
  ASSERT_EQ(0, chdir(path));  // where the starting directory opens
  int error = 0;
  std::unique_ptr<Listing> listing =
      RealFileSystem()->OpenListing(nullptr, nullptr, CString(path), &error);
  EXPECT_EQ(0, fchdir(back));
  close(back);
  ASSERT_TRUE(listing) << error;
  std::multiset<std::string> listed;
  std::thread reader([&] {
    DirEntry entry;
    bool read = false;
    allocations_left = 0;
    allocations_armed = true;
    try {
      read = listing->Read(&entry);
    } catch (const std::bad_alloc&) {
      // Then the entries are all to come.
    }
    allocations_armed = false;
    if (read) listed.insert(entry.name);
    while (listing->Read(&entry)) listed.insert(entry.name);
    error = listing->error();
  });
  reader.join();
  EXPECT_EQ(0, error);
  EXPECT_EQ(made, listed);
  ASSERT_EQ(0, system((std::string("rm -rf ") + path).c_str()));
}

// Matching a plain extension, however long, takes no memory: a worker
// short of it cannot lose the entry at hand there.
TEST(SweepTest, MatchingTakesNoMemory) {
  const CString wanted("ABCDEFGHIJKLMNOPQRST");
  struct Case {
    const char* name;
    bool matches;
  };
  const Case kCases[] = {{"x.abcdefghijklmnopqrst", true},
                         {"ABCDEFGHIJKLMNOPQRSt", true},
                         {"x.abcdefghijklmnopqrsu", false},
                         {"abcdefghijklmnopqrst.x", false}};
  bool matched[sizeof kCases / sizeof *kCases];
  bool ran_short = false;
  allocations_left = 0;
  allocations_armed = true;
  try {
    for (size_t i = 0; i < sizeof kCases / sizeof *kCases; ++i)
      matched[i] = MatchesExtension(kCases[i].name, wanted);
  } catch (const std::bad_alloc&) {
    ran_short = true;
  }
  allocations_armed = false;
  ASSERT_FALSE(ran_short);
  for (size_t i = 0; i < sizeof kCases / sizeof *kCases; ++i)
    EXPECT_EQ(kCases[i].matches, matched[i]) << kCases[i].name;
}

// Memory short as a listing is made for a directory just opened: the
// directory's descriptor is closed, not left behind.
TEST(SweepTest, AListingNotMadeForWantOfMemoryHoldsNoDescriptor) {
  int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowest, 0);
  close(lowest);
  int error = 0;
  bool ran_short = false;
  allocations_left = 0;
  allocations_armed = true;
  try {
    RealFileSystem()->OpenListing(nullptr, nullptr, CString("."), &error);
  } catch (const std::bad_alloc&) {
    ran_short = true;
  }
  allocations_armed = false;
  EXPECT_TRUE(ran_short);
  int next = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(lowest, next);
  close(next);
}

// Whenever memory runs out, every file removed has its line, the total is
// what was removed, and the run says it stopped (status 2); where nothing
// was short, it completes.
TEST(SweepTest, RunningOutOfMemoryLosesNoLine) {
  std::vector<std::string> matching = {"a.bak", "d1/b.bak", "d1/e/c.BAK", "d2/g.bak", "z.bak"};
  for (int i = 0; i < 12; ++i) matching.push_back("w/f" + std::to_string(i) + ".bak");
  for (const ZapextOptions& options : kEngines) {
    bool completed = false;
    for (long after = 0; after < 2000 && !completed; ++after) {
      SCOPED_TRACE("workers " + std::to_string(options.workers) + ", failing after " +
                   std::to_string(after));
      ShortOfMemory fs;
      for (const std::string& path : matching) fs.AddFile(path);
      fs.AddFile("d1/x.txt");
      std::vector<char*> argv = {const_cast<char*>("zapext"), const_cast<char*>("bak"), nullptr};
      char* buffer = nullptr;
      size_t size = 0;
      FILE* out = open_memstream(&buffer, &size);
      allocations_left = after;
      allocations_armed = true;
      int status = ZapextMain(&fs, 2, argv.data(), out, options);
      allocations_armed = false;
      fclose(out);
      std::string output(buffer, size);
      free(buffer);

      std::set<std::string> announced;
      bool stopped = false;
      unsigned total = ~0u;
      std::istringstream lines(output);
      for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 15, "removing /work/") == 0) {
          EXPECT_TRUE(announced.insert(line.substr(15)).second) << line;
        } else if (line == "Unable to go on: out of memory") {
          stopped = true;
        } else if (line.empty()) {
          continue;
        } else if (sscanf(line.c_str(), "removed %u files", &total) != 1) {
          ADD_FAILURE() << "unexpected line: " << line;
        }
      }
      std::set<std::string> gone;
      for (const std::string& path : matching)
        if (!fs.Exists(path)) gone.insert(path);
      EXPECT_EQ(gone, announced);
      EXPECT_EQ(gone.size(), total);
      EXPECT_EQ(stopped ? 2 : 0, status) << output;
      EXPECT_EQ(0, fs.open_listings);
      completed = !stopped;
    }
    EXPECT_TRUE(completed);
  }
}

}  // namespace
