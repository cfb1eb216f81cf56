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
  return MatchesExtension(name, strlen(name), wanted);
}

bool MatchesExtension(const char* name, size_t name_length, const CString& wanted) {
  // Upper-casing keeps the length, so a tail of another length cannot match:
  // only the end of the name as long as `wanted` is read, and no text is
  // built for nearly every entry. It is the tail where a dot stands before
  // it, or it is the whole name; and a dot in it would be one in `wanted`.
  size_t length = static_cast<size_t>(wanted.GetLength());
  if (name_length < length) return false;
  const char* tail = name + name_length - length;
  if (tail != name && tail[-1] != '.') return false;
  // An ASCII tail folds as every platform folds a-z: compared in place,
  // with nothing to allocate, so a want of memory cannot lose an entry.
  const char* upper = wanted;
  size_t i = 0;
  for (; i < length && static_cast<unsigned char>(tail[i]) < 0x80; ++i) {
    char c = tail[i] >= 'a' && tail[i] <= 'z' ? static_cast<char>(tail[i] - 'a' + 'A') : tail[i];
    if (c != upper[i]) return false;
  }
  if (i < length) {
    CString extension(tail, length);
    extension.MakeUpper();
    if (!(extension == wanted)) return false;
  }
  return wanted.ReverseFind('.') < 0;
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
