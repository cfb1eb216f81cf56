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

#include <vector>

#include "platform/file_system.h"
#include "platform/listing_portable_posix.h"

namespace {

#ifndef ZAPEXT_PORTABLE_LISTING
class PosixListing;

// Entries are read in large blocks into one buffer that all listings share:
// only the deepest open listing reads at any moment. Before another listing
// fills it, the one whose unread entries are there moves them to a copy of
// its own, usually a few names. So memory follows the depth of the tree, not
// the size of its directories, and a wide directory still takes few reads.
struct EntryBuffer {
  alignas(struct dirent64) char data[32 * 1024];
  PosixListing* holder = nullptr;
};

class PosixListing : public Listing {
 public:
  PosixListing(int fd, EntryBuffer* shared) : fd_(fd), shared_(shared) {}
  ~PosixListing() override {
    if (shared_->holder == this) shared_->holder = nullptr;
    close(fd_);
  }

  bool Read(DirEntry* entry) override {
    if (next_ == end_ && !Fill()) return false;
    const struct dirent64* d = reinterpret_cast<const struct dirent64*>(next_);
    next_ += d->d_reclen;
    entry->name = d->d_name;
    entry->attributes = IsDirectory(d) ? kAttrDirectory : 0;
    return true;
  }

  int error() const override { return error_; }
  int fd() const { return fd_; }

 private:
  bool Fill() {
    std::vector<char>().swap(kept_);
    if (shared_->holder && shared_->holder != this) shared_->holder->Keep();
    shared_->holder = this;
    ssize_t size = getdents64(fd_, shared_->data, sizeof shared_->data);
    if (size <= 0) {
      error_ = size < 0 ? errno : 0;
      next_ = end_ = nullptr;
      return false;
    }
    next_ = shared_->data;
    end_ = next_ + size;
    return true;
  }

  // Moves the unread entries out of the shared buffer.
  void Keep() {
    kept_.assign(next_, end_);
    next_ = kept_.data();
    end_ = next_ + kept_.size();
  }

  // The listing's type is enough on most file systems; only where it is
  // unknown do we ask, without following a link. An entry that cannot be
  // looked at is taken for a directory: opening it fails for the same
  // reason, and that is reported, where passing it over would be silent.
  bool IsDirectory(const struct dirent64* d) const {
    if (d->d_type != DT_UNKNOWN) return d->d_type == DT_DIR;
    struct stat st;
    if (fstatat(fd_, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
    return S_ISDIR(st.st_mode);
  }

  int fd_;
  EntryBuffer* shared_;
  const char* next_ = nullptr;  // the unread entries, in the shared buffer or kept_
  const char* end_ = nullptr;
  std::vector<char> kept_;
  int error_ = 0;
};
#else
// Without getdents64 (cmake/listing.cmake): a stream per listing, no shared buffer.
struct EntryBuffer {};
class PosixListing : public PortableListing {
 public:
  PosixListing(int fd, EntryBuffer*) : PortableListing(fd) {}
};
#endif

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
    return std::unique_ptr<Listing>(new PosixListing(fd, &entries_));
  }

  bool OutOfHandles(int error) const override { return error == EMFILE || error == ENFILE; }

  // Removing a name depends on its directory's permissions, not on the
  // file's mode, so there is no read-only attribute to release here; a POSIX
  // listing never reports one, and a file's mode is never changed.
  int SetAttributes(Listing*, const char*, const CString&, uint32_t) override { return 0; }

  int RemoveFile(Listing* dir, const char* name, const CString&) override {
    if (unlinkat(FdOf(dir), name, 0) == 0) return 0;
    return errno == ENOENT ? kErrorGone : errno;
  }

 private:
  EntryBuffer entries_;
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem fs;
  return &fs;
}
