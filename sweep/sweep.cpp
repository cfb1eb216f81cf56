// Depth-first walk of a directory tree.
#include "sweep/sweep.h"

#include <string.h>

namespace {

// Makes `path`, whose first `length` characters are a directory's text, the
// path of the entry `name` in it.
void MakeEntryPath(CString* path, int length, char separator, const char* name) {
  path->Truncate(length);
  *path += separator;
  *path += name;
}

}  // namespace

uint32_t SweepDirectory(SweepContext* sweep, Listing* parent, const char* name, CString* path,
                        const CString& extension) {
  CString wanted = extension;
  wanted.MakeUpper();

  int error = 0;
  std::unique_ptr<Listing> listing = sweep->fs->OpenListing(parent, name, *path, &error);
  if (!listing) {
    if (error != kErrorGone) {
      fprintf(sweep->out, "Unable to list %s, error %d\n", static_cast<const char*>(*path), error);
      sweep->failed = true;
    }
    return 0;
  }

  const int length = path->GetLength();
  const char separator = sweep->fs->separator();
  uint32_t count = 0;
  DirEntry entry;
  while (listing->Read(&entry)) {
    if (entry.attributes & kAttrDirectory) {
      // A directory link or junction is passed over: following one could
      // lead the sweep out of the tree, and removing it is not ours to do.
      if (entry.attributes & kAttrReparsePoint) continue;
      if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
      // The listing stays open, its reading paused, while the subtree is swept.
      MakeEntryPath(path, length, separator, entry.name);
      count += SweepDirectory(sweep, listing.get(), entry.name, path, extension);
    } else if (MatchesExtension(entry.name, wanted)) {
      MakeEntryPath(path, length, separator, entry.name);
      if (RemoveMatchedFile(sweep, listing.get(), *path, entry)) ++count;
    }
  }
  path->Truncate(length);
  if (listing->error() != 0) {
    fprintf(sweep->out, "Unable to list %s, error %d\n", static_cast<const char*>(*path),
            listing->error());
    sweep->failed = true;
  }
  return count;
}
