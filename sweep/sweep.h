// The tree sweep: walks a directory tree depth-first and removes every file
// whose extension matches, announcing each one.
#ifndef ZAPEXT_SWEEP_SWEEP_H_
#define ZAPEXT_SWEEP_SWEEP_H_

#include <stdint.h>
#include <stdio.h>

#include "platform/cstring.h"
#include "platform/file_system.h"

// What every level of one sweep shares: the file system, where its lines go,
// and whether anything failed on the way (that decides the exit status).
struct SweepContext {
  FileSystem* fs = nullptr;
  FILE* out = nullptr;
  bool failed = false;
};

// Sweeps the directory whose full text is `path`, which is the entry `name`
// of the open listing `parent`, or the current directory when `parent` is
// null, and every directory beneath it. Returns how many files it removed.
// `path` is the sweep's one path buffer: each level adds an entry's name to
// it and cuts it back, so it holds the same text again on return, and the
// memory for paths follows the longest path, not the number of levels.
uint32_t SweepDirectory(SweepContext* sweep, Listing* parent, const char* name, CString* path,
                        const CString& extension);

// The upper-cased text after the last dot of `name`, or the whole name,
// upper-cased, when it has no dot.
CString ExtensionOf(const CString& name);

// Whether ExtensionOf(name) equals `wanted`, which is already upper-cased.
bool MatchesExtension(const char* name, const CString& wanted);

// Removes the matching file `entry` of the open listing `dir`, whose full
// text is `path`, releasing its read-only attribute first where it has one.
// Returns true when the file was removed and counts.
bool RemoveMatchedFile(SweepContext* sweep, Listing* dir, const CString& path,
                       const DirEntry& entry);

#endif  // ZAPEXT_SWEEP_SWEEP_H_
