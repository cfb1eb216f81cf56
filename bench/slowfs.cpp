// A view of a real directory in which every operation waits before it is
// done: a stand-in for a network file system (NFS, SMB), where each request
// costs a round trip and many may be in flight at once.
//
//   zapext-bench-slowfs SOURCE MOUNTPOINT [--delay-us=N] [FUSE OPTION...]
//
// Shows SOURCE at MOUNTPOINT, each operation waiting N microseconds (200 by
// default) first, on as many threads as there are requests (up to 64), so
// waits overlap as round trips do. Listings give each entry's type, as NFS
// does, so a sweep needs no extra request per entry. It serves what a sweep
// uses: lookups and attributes, listings, and removing files. Unmount with
// `fusermount3 -u MOUNTPOINT`.
#define FUSE_USE_VERSION 312

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace {

int source = -1;
long delay_ns = 200 * 1000;

// The round trip, to the microsecond: without the thread's timer slack
// lowered, a sleep overshoots by some 50 us.
void Wait() {
  static thread_local bool precise = false;
  if (!precise) {
    prctl(PR_SET_TIMERSLACK, 1UL);
    precise = true;
  }
  struct timespec left = {delay_ns / 1000000000, delay_ns % 1000000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Paths come from the mount, absolute; SOURCE is held open.
const char* InSource(const char* path) { return path[1] ? path + 1 : "."; }

int Result(int status) { return status == 0 ? 0 : -errno; }

struct OpenDirectory {
  DIR* dir;
  struct dirent* pending;  // read, but not taken by the last reply
  off_t offset;
};

OpenDirectory* Of(struct fuse_file_info* fi) { return reinterpret_cast<OpenDirectory*>(fi->fh); }

// Nothing is cached between requests: every run meets the same cold view,
// each name looked up by a round trip.
void* Init(struct fuse_conn_info*, struct fuse_config* config) {
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  return nullptr;
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
  Wait();
  return Result(fstatat(source, InSource(path), st, AT_SYMLINK_NOFOLLOW));
}

int ReadLink(const char* path, char* buffer, size_t size) {
  Wait();
  ssize_t length = readlinkat(source, InSource(path), buffer, size - 1);
  if (length < 0) return -errno;
  buffer[length] = '\0';
  return 0;
}

int OpenDir(const char* path, struct fuse_file_info* fi) {
  Wait();
  int fd = openat(source, InSource(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    int error = errno;
    close(fd);
    return -error;
  }
  fi->fh = reinterpret_cast<uint64_t>(new OpenDirectory{dir, nullptr, 0});
  return 0;
}

// Each request of the kernel's (a few KiB of entries) is one operation, as
// each READDIR is on NFS.
int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t offset,
            struct fuse_file_info* fi, enum fuse_readdir_flags) {
  Wait();
  OpenDirectory* d = Of(fi);
  if (offset != d->offset) {
    seekdir(d->dir, offset);
    d->pending = nullptr;
    d->offset = offset;
  }
  for (;;) {
    if (!d->pending) {
      errno = 0;
      d->pending = readdir(d->dir);
      if (!d->pending) return -errno;
    }
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = d->pending->d_ino;
    st.st_mode = DTTOIF(d->pending->d_type);
    off_t next = telldir(d->dir);
    if (fill(buffer, d->pending->d_name, &st, next, static_cast<fuse_fill_dir_flags>(0))) return 0;
    d->pending = nullptr;
    d->offset = next;
  }
}

int ReleaseDir(const char*, struct fuse_file_info* fi) {
  Wait();
  closedir(Of(fi)->dir);
  delete Of(fi);
  return 0;
}

int Unlink(const char* path) {
  Wait();
  return Result(unlinkat(source, InSource(path), 0));
}

int StatFs(const char*, struct statvfs* st) {
  Wait();
  return Result(fstatvfs(source, st));
}

int Usage() {
  fputs("usage: zapext-bench-slowfs SOURCE MOUNTPOINT [--delay-us=N] [FUSE OPTION...]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  source = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (source < 0) {
    perror(argv[1]);
    return 1;
  }
  // Ours first; later options, the caller's, win.
  std::vector<char*> args = {argv[0], argv[2], const_cast<char*>("-o"),
                             const_cast<char*>("fsname=zapext-bench-slowfs,max_threads=64")};
  for (int i = 3; i < argc; ++i) {
    if (strncmp(argv[i], "--delay-us=", 11) == 0) {
      char* end;
      long us = strtol(argv[i] + 11, &end, 10);
      if (*end || us < 0) return Usage();
      delay_ns = us * 1000;
    } else {
      args.push_back(argv[i]);
    }
  }
  args.push_back(nullptr);

  struct fuse_operations operations;
  memset(&operations, 0, sizeof operations);
  operations.init = Init;
  operations.getattr = GetAttr;
  operations.readlink = ReadLink;
  operations.opendir = OpenDir;
  operations.readdir = ReadDir;
  operations.releasedir = ReleaseDir;
  operations.unlink = Unlink;
  operations.statfs = StatFs;
  return fuse_main(static_cast<int>(args.size()) - 1, args.data(), &operations, nullptr);
}
