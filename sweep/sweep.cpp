// Depth-first walk of a directory tree.
#include "sweep/sweep.h"

#include <new>

#include "sweep/path_step.h"
#include "sweep/read_ahead.h"

namespace {

void ReportUnlisted(SweepContext* sweep, const CString& directory, int error) {
  sweep->out->Line("Unable to list ", directory, error);
  sweep->failed = true;
}

}  // namespace

uint32_t SweepDirectory(SweepContext* sweep, Directory* parent, const DirEntry* entry,
                        CString* directory, const CString& wanted) {
  uint32_t count = 0;
  ReadAhead* engine = sweep->engine;
  // Left after the catch below: workers stop before this level closes.
  ReadAhead::Entered dir(nullptr, ReadAhead::Leave{engine});
  try {
    int error = 0;
    dir = engine->Open(parent, entry, *directory, &error);
    if (!dir) {
      if (error != kErrorGone) ReportUnlisted(sweep, *directory, error);
      return 0;
    }

    DirEntry found;
    while (!sweep->Interrupted() && engine->Read(dir.get(), &found)) {
      if (found.attributes & kAttrDirectory) {
        if (!IsSweptDirectory(found)) continue;
        // This directory stays open, its reading paused, while the subtree is swept.
        PathStep step(directory, sweep->fs->separator(), found.name);
        count += SweepDirectory(sweep, dir.get(), &found, directory, wanted);
      } else if (engine->Matches(dir.get(), found)) {
        // Removed ahead when its block was read: its lines go out in their place.
        if (engine->RemovedAhead(dir.get(), sweep->out, &count, &sweep->failed)) continue;
        if (RemoveMatchedFile(sweep, dir->listing.get(), directory, found)) ++count;
      }
    }
    if (dir->error != 0) ReportUnlisted(sweep, *directory, dir->error);
  } catch (const std::bad_alloc&) {
    // Out of memory, the sweep stops as an interruption stops it, workers
    // and all: every level returns what it removed, so that the total is
    // told whole.
    sweep->short_of_memory = true;
    engine->Halt();
  }
  return count;
}
