// The POSIX file system. Every call after the start works relative to an
// open directory descriptor, never by full path: there is no limit on the
// depth of a tree, and a directory swapped for a link while we sweep cannot
// take us anywhere else (openat with O_NOFOLLOW refuses it).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <new>
#include <vector>

#include "platform/file_system.h"
#include "platform/listing_portable_posix.h"

namespace {

#ifndef ZAPEXT_PORTABLE_LISTING
// Entries are read in large blocks, each kept in a buffer of the listing's
// own about the size the block really has: any thread may read any listing,
// a paused listing holds little more than its unread entries, and a wide
// directory still takes few reads. A listing read to its end gives its
// buffer to the thread, for the next listing it reads: a buffer of its own
// for every directory, allocated on one thread and freed on another, took
// about 2% of the processor time on a tree of many small directories.
class PosixListing : public Listing {
 public:
  explicit PosixListing(int fd) : fd_(fd) {}
  ~PosixListing() override { close(fd_); }

  bool Read(DirEntry* entry) override {
    if (next_ == kept_.size() && !Fill()) return false;
    const struct dirent64* d = reinterpret_cast<const struct dirent64*>(kept_.data() + next_);
    next_ += d->d_reclen;
    entry->name = d->d_name;
    entry->attributes = IsDirectory(d) ? kAttrDirectory : 0;
    return true;
  }

  int error() const override { return error_; }
  size_t Cost() const override { return sizeof *this + kept_.capacity(); }

  void EndReading() override {
#ifdef O_PATH
    // Linux keeps what it read of a directory until its descriptor closes;
    // freed on another processor, long after, that costs several times as
    // much. A descriptor that only places opens and removals holds none.
    int place = openat(fd_, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (place < 0) return;  // it stays as it was
    close(fd_);
    fd_ = place;
    ended_ = true;
#endif
  }
  int fd() const { return fd_; }

 private:
  bool Fill() {
    alignas(struct dirent64) char block[32 * 1024];
    ssize_t size = 0;
    if (!ended_) {  // else nothing to read it with
      size = getdents64(fd_, block, sizeof block);
      if (size <= 0) error_ = size < 0 ? errno : 0;
    }
    if (size <= 0) {
      LetGo();
      return false;
    }
    // Room for the block: the listing's own, or that of the one this
    // thread read to its end last, or new.
    if (kept_.capacity() < static_cast<size_t>(size) &&
        spare_block.capacity() >= static_cast<size_t>(size))
      kept_.swap(spare_block);
    try {
      kept_.assign(block, block + size);
    } catch (const std::bad_alloc&) {
      // No room to keep what was just read: the listing goes back to where
      // the block began, after the last entry of the one it still keeps
      // (read to its end), and it is read again once there is room. Where
      // it cannot go back, the listing fails and says so: no entry is
      // passed over in silence.
      int64_t began = 0;
      for (size_t at = 0; at < kept_.size();) {
        const struct dirent64* d = reinterpret_cast<const struct dirent64*>(kept_.data() + at);
        began = d->d_off;
        at += d->d_reclen;
      }
      off_t back = static_cast<off_t>(began);
      if (back == began && lseek(fd_, back, SEEK_SET) == back) throw;
      error_ = ENOMEM;
      ended_ = true;
      LetGo();
      return false;
    }
    next_ = 0;
    return true;
  }

  // Read to its end, the listing holds no buffer: the thread keeps the
  // largest it has met for the next one, which then allocates none.
  void LetGo() {
    if (kept_.capacity() > spare_block.capacity()) kept_.swap(spare_block);
    std::vector<char>().swap(kept_);
    next_ = 0;
  }

  static thread_local std::vector<char> spare_block;

  bool IsDirectory(const struct dirent64* d) const {
    return IsDirectoryEntry(fd_, d->d_name, d->d_type);
  }

  int fd_;
  std::vector<char> kept_;  // the block read last
  size_t next_ = 0;         // its first unread entry
  int error_ = 0;
  bool ended_ = false;  // read to its end, and let go of reading
};

thread_local std::vector<char> PosixListing::spare_block;
#else
// Without getdents64 (cmake/listing.cmake): the C library's stream.
class PosixListing : public PortableListing {
 public:
  explicit PosixListing(int fd) : PortableListing(fd) {}
};
#endif

int FdOf(Listing* listing) { return static_cast<PosixListing*>(listing)->fd(); }

// How many descriptors the process holds, from the list the system keeps
// of them (Linux's /proc); false where there is none.
bool CountOpen(size_t* open) {
  DIR* list = opendir("/proc/self/fd");
  if (!list) return false;
  size_t entries = 0;
  while (const struct dirent* entry = readdir(list))
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++entries;
  closedir(list);
  // The list's own descriptor was among them.
  *open = entries > 0 ? entries - 1 : 0;
  return entries > 0;
}

// Whether the system knows the open directory `fd` by `path`. Linux keeps
// the path each open file was reached by, and moves it with its directory;
// asking for it asks nothing of the file system, where a network one takes
// a round trip to look a name up. False where it cannot tell: no /proc, or
// a path too long to hold here.
bool KnownAs(int fd, const CString& path) {
  char link[32];
  char text[1024];
  size_t length = path.GetLength();
  if (length >= sizeof text) return false;
  // Not a formatted print: on a tree of many small directories, that took
  // 3% of all the instructions of a sweep.
  static const char kFds[] = "/proc/self/fd/";
  memcpy(link, kFds, sizeof kFds - 1);
  *std::to_chars(link + sizeof kFds - 1, link + sizeof link - 1, fd).ptr = '\0';
  ssize_t got = readlink(link, text, length + 1);
  return got == static_cast<ssize_t>(length) && memcmp(text, static_cast<const char*>(path), length) == 0;
}

// Whether `entry` of `parent` (or, with `parent` null, `path`) names the
// directory `dir` lists, by device and inode: the name, not followed if it
// is a link now, and the descriptor.
bool SameAsNamed(Listing* parent, const DirEntry& entry, const CString& path, Listing* dir) {
  struct stat named, opened;
  int at = parent ? FdOf(parent) : AT_FDCWD;
  if (fstatat(at, parent ? entry.name : static_cast<const char*>(path), &named,
              AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  if (fstat(FdOf(dir), &opened) != 0) return false;
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

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

  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry, const CString&,
                                       int* error) override {
    // Only the starting directory opens without a parent's listing: an
    // entry opened by its name from the current directory could be some
    // other directory than the one listed.
    if (!parent && entry) {
      *error = EBADF;
      return nullptr;
    }
    int fd = parent ? openat(FdOf(parent), entry->name,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                    : open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      // Vanished, or not a directory (a link among them): nothing to sweep.
      *error = (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) ? kErrorGone : errno;
      return nullptr;
    }
    try {
      return std::unique_ptr<Listing>(new PosixListing(fd));
    } catch (const std::bad_alloc&) {
      close(fd);  // not left behind
      throw;
    }
  }

  // Each directory is opened relative to its parent.
  bool OpensByPath() const override { return false; }

  bool OutOfHandles(int error) const override { return error == EMFILE || error == ENFILE; }

  size_t HandleLimit() const override {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return static_cast<size_t>(limit.rlim_cur);
  }

  size_t HandlesFree() const override {
    size_t limit = HandleLimit();
    if (limit == SIZE_MAX) return SIZE_MAX;
    // Counted up to a bound; every descriptor past it is taken as held.
    const size_t kCounted = 4096;
    size_t counted = std::min(limit, kCounted);
    // Where the system lists those open, the list is read: asking of each
    // descriptor in turn took 0.1 ms of every run, before any worker starts.
    size_t open = 0;
    if (CountOpen(&open)) return open < counted ? counted - open : 0;
    try {
      std::vector<struct pollfd> probe(counted);
      for (size_t fd = 0; fd < counted; ++fd) probe[fd].fd = static_cast<int>(fd);
      if (poll(probe.data(), counted, 0) < 0) return 0;
      size_t free = 0;
      for (const struct pollfd& at : probe) free += (at.revents & POLLNVAL) != 0;
      return free;
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }

  // Removing a name depends on its directory's permissions, not on the
  // file's mode, so there is no read-only attribute to release here; a POSIX
  // listing never reports one, and a file's mode is never changed.
  int SetAttributes(Listing*, const char*, const CString&, uint32_t) override { return 0; }

  int RemoveFile(Listing* dir, const char* name, const CString&) override {
    if (unlinkat(FdOf(dir), name, 0) == 0) return 0;
    return errno == ENOENT ? kErrorGone : errno;
  }

  bool StillAt(Listing* parent, const DirEntry& entry, const CString& path, Listing* dir,
               bool requests_wait) override {
    // Still there where its name leads, or where the system knows it by the
    // very path the sweep names it by: in the tree, where its lines name
    // it. This is the sweep's, on every directory opened ahead. The path
    // asks nothing of the file system, in one call; the name, where the
    // file system answers at once, costs half as much, in two.
    if (requests_wait && KnownAs(FdOf(dir), path)) return true;
    if (SameAsNamed(parent, entry, path, dir)) return true;
    return !requests_wait && KnownAs(FdOf(dir), path);
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static PosixFileSystem fs;
  return &fs;
}
