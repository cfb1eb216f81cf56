// The listing on readdir (POSIX.1-2008), for systems without Linux's
// getdents64: macOS, the BSDs. ZAPEXT_PORTABLE_LISTING puts it in place of
// the getdents64 one on Linux too. It is built on every POSIX system, so
// its unit test runs everywhere.
#ifndef ZAPEXT_PLATFORM_LISTING_PORTABLE_POSIX_H_
#define ZAPEXT_PLATFORM_LISTING_PORTABLE_POSIX_H_

#include <dirent.h>

#include <memory>

#include "platform/file_system.h"

class PortableListing : public Listing {
 public:
  // Takes over `fd`, a directory opened for reading, and closes it: with the
  // stream, or at once when no stream can be made of it (the first Read then
  // fails with that error).
  explicit PortableListing(int fd);

  bool Read(DirEntry* entry) override;
  int error() const override { return error_; }
  // The stream's buffer is the C library's: glibc's holds 32 KiB.
  size_t Cost() const override { return sizeof *this + (dir_ ? 32 << 10 : 0); }
  // The directory's descriptor, for the calls relative to it (-1 without a
  // stream); kept apart from the stream, which one thread at a time reads.
  int fd() const { return fd_; }

 private:
  struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
  };

  int fd_;
  std::unique_ptr<DIR, CloseDir> dir_;  // closing it closes fd_
  int error_ = 0;
};

// Whether the entry `name` of the directory open as `fd` is a directory:
// `type` is the listing's d_type, DT_UNKNOWN (0) where it gives none.
bool IsDirectoryEntry(int fd, const char* name, unsigned char type);

#endif  // ZAPEXT_PLATFORM_LISTING_PORTABLE_POSIX_H_
