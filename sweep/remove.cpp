// The two decisions about a file entry: does its extension match, and how a
// matching file goes.
#include <string.h>

#include "sweep/path_step.h"
#include "sweep/sweep.h"

CString ExtensionOf(const CString& name) {
  // Without a dot ReverseFind gives -1 and the whole name is the extension.
  CString extension = name.Right(name.GetLength() - name.ReverseFind('.') - 1);
  extension.MakeUpper();
  return extension;
}

bool MatchesExtension(const char* name, const CString& wanted) {
  // Upper-casing keeps the length, so a tail of another length cannot match;
  // checking that first spares building a text for nearly every entry.
  const char* dot = strrchr(name, '.');
  const char* tail = dot ? dot + 1 : name;
  size_t length = strlen(tail);
  if (length != static_cast<size_t>(wanted.GetLength())) return false;
  CString extension(tail, length);
  extension.MakeUpper();
  return extension == wanted;
}

bool RemoveMatchedFile(SweepContext* sweep, Listing* dir, CString* directory,
                       const DirEntry& entry) {
  FileSystem* fs = sweep->fs;
  PathStep step(directory, fs->separator(), entry.name);
  const CString& path = *directory;

  if (sweep->dry_run) {
    sweep->out->Line("would remove ", path);
    return true;
  }

  bool released = false;
  if (entry.attributes & kAttrReadOnly) {
    int error = fs->SetAttributes(dir, entry.name, path, entry.attributes & ~kAttrReadOnly);
    if (error == kErrorGone) return false;
    if (error != 0) {
      sweep->out->Line("Unable to remove read-only for ", path, error);
      sweep->failed = true;
      return false;
    }
    released = true;
  }

  sweep->out->Line("removing ", path);
  int error = fs->RemoveFile(dir, entry.name, path);
  if (error == 0) return true;
  if (error == kErrorGone) return false;  // someone else removed it first

  // Leave the file as we found it.
  if (released) fs->SetAttributes(dir, entry.name, path, entry.attributes);
  sweep->out->Line("Unable to remove ", path, error);
  sweep->failed = true;
  return false;
}
