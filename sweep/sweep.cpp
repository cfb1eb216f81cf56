// Depth-first walk of a directory tree.
#include "sweep/sweep.h"

#include <string.h>

#include "sweep/path_step.h"
#include "sweep/removal_queue.h"

namespace {

void ReportUnlisted(SweepContext* sweep, const CString& directory, int error) {
  sweep->out->Line("Unable to list ", directory, error);
  sweep->failed = true;
}

std::shared_ptr<Listing> Open(SweepContext* sweep, Listing* parent, const char* name,
                              const CString& directory, int* error) {
  std::shared_ptr<Listing> listing = sweep->fs->OpenListing(parent, name, directory, error);
  // Directories still open for removals under way are the workers' doing, not
  // the tree's: with them closed, the outcome is the one-thread sweep's.
  if (!listing && sweep->removals && sweep->fs->OutOfHandles(*error)) {
    sweep->removals->CloseDirectories();
    listing = sweep->fs->OpenListing(parent, name, directory, error);
  }
  return listing;
}

}  // namespace

uint32_t SweepDirectory(SweepContext* sweep, Listing* parent, const char* name,
                        CString* directory, const CString& wanted) {
  int error = 0;
  std::shared_ptr<Listing> listing = Open(sweep, parent, name, *directory, &error);
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
      if (sweep->removals) {
        sweep->removals->Add(listing, *directory, entry);
      } else if (RemoveMatchedFile(sweep, listing.get(), directory, entry)) {
        ++count;
      }
    }
  }
  if (listing->error() != 0) ReportUnlisted(sweep, *directory, listing->error());
  return count;
}
