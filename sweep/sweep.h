// The tree sweep: walks a directory tree depth-first and removes every file
// whose extension matches, announcing each one.
#ifndef ZAPEXT_SWEEP_SWEEP_H_
#define ZAPEXT_SWEEP_SWEEP_H_

#include <stdint.h>

#include <atomic>

#include "platform/cstring.h"
#include "platform/file_system.h"
#include "sweep/output.h"

class Directory;
class ReadAhead;  // read_ahead.h

// What every level of one sweep shares: the file system, where its lines go,
// and whether anything failed on the way (that decides the exit status).
struct SweepContext {
  FileSystem* fs = nullptr;
  Output* out = nullptr;
  bool failed = false;
  // Set from a signal handler to stop the sweep between two entries.
  const std::atomic<int>* interrupted = nullptr;
  // Opens and reads the directories: ahead of the sweep on worker threads,
  // which remove the matching files they meet, or as the sweep comes to
  // them.
  ReadAhead* engine = nullptr;

  // A dry run: each matching file is named ("would remove") and counted,
  // and nothing is touched. The workers then only read ahead.
  bool dry_run = false;

  // Set when memory ran out: the sweep stops as for an interruption.
  bool short_of_memory = false;

  bool Interrupted() const {
    return short_of_memory || (interrupted && interrupted->load(std::memory_order_relaxed) != 0);
  }
};

// The most stack one level of the sweep takes, in any build (sanitizers
// make frames larger): the entry sizes the sweep's stack from it, and a
// test measures it.
const size_t kSweepStackPerLevel = 1024;

// Sweeps the directory whose full text is `*directory`, which is `entry`,
// the entry `parent` read last, or the current directory when both are
// null, and every directory beneath it, removing the files whose extension
// is `wanted` (already upper-cased). `*directory` grows by a name while each
// subdirectory is swept and is as it was on return. Returns how many files
// it removed, itself or ahead of it.
uint32_t SweepDirectory(SweepContext* sweep, Directory* parent, const DirEntry* entry,
                        CString* directory, const CString& wanted);

// Whether the sweep enters the entry: a directory, but not "." or "..",
// nor a directory link or junction.
bool IsSweptDirectory(const DirEntry& entry);

// The upper-cased text after the last dot of `name`, or the whole name,
// upper-cased, when it has no dot.
CString ExtensionOf(const CString& name);

// Whether ExtensionOf(name) equals `wanted`, which is already upper-cased.
bool MatchesExtension(const char* name, const CString& wanted);
// The same, for a name whose length is known.
bool MatchesExtension(const char* name, size_t name_length, const CString& wanted);

// Removes the matching file `entry` of the open listing `dir`, whose full
// text is `*directory` (as it was on return), releasing its read-only
// attribute first where it has one. Returns true when the file was removed
// and counts. In a dry run, only names it, and it counts.
bool RemoveMatchedFile(SweepContext* sweep, Listing* dir, CString* directory,
                       const DirEntry& entry);

#endif  // ZAPEXT_SWEEP_SWEEP_H_
