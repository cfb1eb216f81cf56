#include "platform/listing_portable_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PortableListing::PortableListing(int fd) : fd_(fd), dir_(fdopendir(fd)) {
  if (!dir_) {
    error_ = errno;
    close(fd);
    fd_ = -1;  // the number may be reused at once: nothing may act through it
  }
}

bool PortableListing::Read(DirEntry* entry) {
  if (!dir_) return false;
  // readdir tells the end from a failure only through errno.
  errno = 0;
  const struct dirent* d = readdir(dir_.get());
  if (!d) {
    error_ = errno;
    return false;
  }
  entry->name = d->d_name;
#ifdef DT_UNKNOWN
  unsigned char type = d->d_type;
#else
  unsigned char type = 0;  // POSIX gives no type: every entry is looked at
#endif
  entry->attributes = IsDirectoryEntry(fd_, d->d_name, type) ? kAttrDirectory : 0;
  return true;
}

// The listing's type is enough on most file systems; only where it is
// unknown do we ask, without following a link. An entry that cannot be
// looked at is taken for a directory: opening it fails for the same reason,
// and that is reported, where passing it over would be silent.
bool IsDirectoryEntry(int fd, const char* name, unsigned char type) {
#ifdef DT_UNKNOWN
  if (type != DT_UNKNOWN) return type == DT_DIR;
#else
  (void)type;
#endif
  struct stat st;
  if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
  return S_ISDIR(st.st_mode);
}
