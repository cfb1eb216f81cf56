// The POSIX file system. Every call after the start works relative to an
// open directory descriptor, never by full path: there is no limit on the
// depth of a tree, and a directory swapped for a link while we sweep cannot
// take us anywhere else (openat with O_NOFOLLOW refuses it).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system.h"

namespace {

class PosixListing : public Listing {
 public:
  explicit PosixListing(DIR* dir) : dir_(dir) {}
  ~PosixListing() override { closedir(dir_); }

  bool Read(DirEntry* entry) override {
    errno = 0;
    struct dirent* d = readdir(dir_);
    if (!d) {
      error_ = errno;
      return false;
    }
    entry->name = d->d_name;
    entry->attributes = IsDirectory(d) ? kAttrDirectory : 0;
    return true;
  }

  int error() const override { return error_; }
  int fd() const { return dirfd(dir_); }

 private:
  // The listing's type is enough on most file systems; only where it is
  // unknown do we ask, without following a link.
  bool IsDirectory(const struct dirent* d) const {
    if (d->d_type != DT_UNKNOWN) return d->d_type == DT_DIR;
    struct stat st;
    return fstatat(fd(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  }

  DIR* dir_;
  int error_ = 0;
};

int FdOf(Listing* listing) { return static_cast<PosixListing*>(listing)->fd(); }

class PosixFileSystem : public FileSystem {
 public:
  char separator() const override { return '/'; }

  int CurrentDirectory(CString* directory) override {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return errno;
    *directory = CString(cwd);
    free(cwd);
    return 0;
  }

  std::unique_ptr<Listing> OpenListing(Listing* parent, const char* name, const CString&,
                                       int* error) override {
    int fd = parent ? openat(FdOf(parent), name,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                    : open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      // Vanished, or not a directory (a link among them): nothing to sweep.
      *error = (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) ? kErrorGone : errno;
      return nullptr;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
      *error = errno;
      close(fd);
      return nullptr;
    }
    return std::unique_ptr<Listing>(new PosixListing(dir));
  }

  // Removing a name depends on its directory's permissions, not on the
  // file's mode, so there is no read-only attribute to release here; a POSIX
  // listing never reports one, and a file's mode is never changed.
  int SetAttributes(Listing*, const char*, const CString&, uint32_t) override { return 0; }

  int RemoveFile(Listing* dir, const char* name, const CString&) override {
    if (unlinkat(FdOf(dir), name, 0) == 0) return 0;
    return errno == ENOENT ? kErrorGone : errno;
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem fs;
  return &fs;
}
