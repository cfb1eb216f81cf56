// Depth-first walk of a directory tree.
#include "sweep/sweep.h"

#include <string.h>

#include "sweep/path_step.h"

namespace {

void ReportUnlisted(SweepContext* sweep, const CString& directory, int error) {
  fprintf(sweep->out, "Unable to list %s, error %d\n", static_cast<const char*>(directory), error);
  sweep->failed = true;
}

}  // namespace

uint32_t SweepDirectory(SweepContext* sweep, Listing* parent, const char* name,
                        CString* directory, const CString& wanted) {
  int error = 0;
  std::unique_ptr<Listing> listing = sweep->fs->OpenListing(parent, name, *directory, &error);
  if (!listing) {
    if (error != kErrorGone) ReportUnlisted(sweep, *directory, error);
    return 0;
  }

  uint32_t count = 0;
  DirEntry entry;
  while (!sweep->Interrupted() && listing->Read(&entry)) {
    if (entry.attributes & kAttrDirectory) {
      // A directory link or junction is passed over: following one could
      // lead the sweep out of the tree, and removing it is not ours to do.
      if (entry.attributes & kAttrReparsePoint) continue;
      if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
      // The listing stays open, its reading paused, while the subtree is swept.
      PathStep step(directory, sweep->fs->separator(), entry.name);
      count += SweepDirectory(sweep, listing.get(), entry.name, directory, wanted);
    } else if (MatchesExtension(entry.name, wanted)) {
      if (RemoveMatchedFile(sweep, listing.get(), directory, entry)) ++count;
    }
  }
  if (listing->error() != 0) ReportUnlisted(sweep, *directory, listing->error());
  return count;
}
