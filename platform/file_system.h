// The few file-system operations the tool needs, behind an interface so the
// sweep can be run against an in-memory file system in tests. Each platform
// implements it in its own file (file_system_posix.cpp, file_system_win32.cpp).
#ifndef ZAPEXT_PLATFORM_FILE_SYSTEM_H_
#define ZAPEXT_PLATFORM_FILE_SYSTEM_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "platform/cstring.h"

// Attribute bits of a directory entry, with the values Windows gives them.
// A POSIX listing sets only kAttrDirectory. The Windows listing leaves out
// kAttrReadOnly: its RemoveFile releases and restores read-only through the
// file's own handle, which a release by name beforehand could not.
const uint32_t kAttrReadOnly = 0x01;
const uint32_t kAttrDirectory = 0x10;
const uint32_t kAttrReparsePoint = 0x400;  // a link or junction

// Error code for "the entry was gone before we got to it": a directory that
// vanished or turned out not to be one, a file removed by someone else. There
// is nothing to clean there and nothing to report. Platform codes are positive.
const int kErrorGone = -1;

// One entry of a listing. `name` stays valid until the next Read of the
// same listing.
struct DirEntry {
  const char* name = nullptr;
  uint32_t attributes = 0;
  // The file id the listing gave, where it gives one (Windows), else 0:
  // opening the entry checks that it is still the directory listed.
  uint64_t id = 0;
};

// An open directory listing; destroying it closes it.
class Listing {
 public:
  virtual ~Listing() = default;

  // Fills `entry` with the next entry, "." and ".." included where the
  // platform lists them. Returns false at the end of the listing or when
  // reading fails; error() then tells which (0 at the end).
  virtual bool Read(DirEntry* entry) = 0;
  virtual int error() const = 0;

  // The memory the listing holds now, its own object included: entries read
  // from the system and not yet handed out, and buffers.
  virtual size_t Cost() const = 0;

  // Read to its end, the listing stays open only for what is opened and
  // removed through it: where the platform keeps state for the reading, it
  // lets go of it now, on the thread that read it, rather than on whichever
  // closes the listing. Read gives nothing more.
  virtual void EndReading() {}
};

// Any thread may open, read and close listings, and change and remove files
// through them, at the same time as others: one listing is read by one
// thread at a time, and stays open while anything is opened or removed
// through it.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The separator the platform puts between a directory and a name.
  virtual char separator() const = 0;

  // Fills `directory` with the absolute path of the current directory.
  // Returns 0, or the platform's error code.
  virtual int CurrentDirectory(CString* directory) = 0;

  // Opens the listing of a directory. `parent` is the open listing that holds
  // it as `entry`, or both are null for the starting directory (the current
  // directory); `path` is the directory's full text. On failure returns null
  // and sets `*error` to the platform's code, or to kErrorGone when there is
  // nothing to list: the directory vanished, or is not a directory (any more;
  // a link or junction swapped in counts as none). Windows also checks the
  // directory's file id against the one listed, which catches a link that
  // was followed (wine).
  virtual std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                               const CString& path, int* error) = 0;

  // Whether OpenListing uses `path`; where it does not, it may be given an
  // empty text.
  virtual bool OpensByPath() const { return true; }

  // Whether `error`, from OpenListing, says the process holds as many open
  // directories as it may.
  virtual bool OutOfHandles(int error) const { return (void)error, false; }

  // How many directories the process may hold open at once, all told.
  virtual size_t HandleLimit() const { return SIZE_MAX; }

  // How many more directories the process could open now, or fewer: never
  // more than it really could.
  virtual size_t HandlesFree() const { return SIZE_MAX; }

  // Whether `entry` of the open listing `parent` (or, with `parent` null,
  // the full text `path`) still names the directory that `dir` lists: not
  // moved away nor replaced since `dir` was opened. Where the system keeps
  // the path each open directory is reached by, the directory still at
  // `path` is still there. False when it cannot tell. `requests_wait`: the
  // file system keeps threads waiting for its answers (a network one), and
  // what can be told without asking it is asked first.
  virtual bool StillAt(Listing* parent, const DirEntry& entry, const CString& path,
                       Listing* dir, bool requests_wait) = 0;

  // Gives the file `name` in the open listing `dir` (full text `path`) the
  // attribute word `attributes`. Returns 0 or the platform's error code.
  virtual int SetAttributes(Listing* dir, const char* name, const CString& path,
                            uint32_t attributes) = 0;

  // Removes the file (never a directory) `name` from the open listing `dir`;
  // `path` is its full text. Returns 0, kErrorGone, or the platform's code.
  virtual int RemoveFile(Listing* dir, const char* name, const CString& path) = 0;
};

// The file system of the machine the tool runs on.
FileSystem* RealFileSystem();

#endif  // ZAPEXT_PLATFORM_FILE_SYSTEM_H_
