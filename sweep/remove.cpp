// The decisions about an entry: is it a directory to enter, does a file's
// extension match, and how a matching file goes.
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
  // An ASCII tail folds as every platform folds a-z: compared in place,
  // with nothing to allocate, so a want of memory cannot lose an entry.
  const char* upper = wanted;
  size_t i = 0;
  for (; i < length && static_cast<unsigned char>(tail[i]) < 0x80; ++i) {
    char c = tail[i] >= 'a' && tail[i] <= 'z' ? static_cast<char>(tail[i] - 'a' + 'A') : tail[i];
    if (c != upper[i]) return false;
  }
  if (i == length) return true;
  CString extension(tail, length);
  extension.MakeUpper();
  return extension == wanted;
}

bool IsSweptDirectory(const DirEntry& entry) {
  if (!(entry.attributes & kAttrDirectory)) return false;
  // A directory link or junction is passed over: following one could lead
  // the sweep out of the tree, and removing it is not ours to do.
  if (entry.attributes & kAttrReparsePoint) return false;
  return strcmp(entry.name, ".") != 0 && strcmp(entry.name, "..") != 0;
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
