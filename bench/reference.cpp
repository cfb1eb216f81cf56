// The benchmark's parallel reference: what the tool's job costs when the
// order of the output does not matter.
//
//   zapext-bench-reference EXTENSION
//
// Eight threads take directories from one queue, one directory per task,
// and sweep it: each file whose extension matches (the text after the last
// dot, or the whole name without a dot, equal ignoring ASCII case) is
// announced with "removing PATH" and removed; each subdirectory goes to the
// queue. Lines come in no particular order, whole, and the total line ends
// them. Directories are opened relative to their parent with O_NOFOLLOW and
// files removed with unlinkat, so no path is ever too long.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const unsigned kThreads = 8;

// An open directory, closed when the last task that needs it (its own, and
// those of its subdirectories not yet opened) lets go.
struct Directory {
  explicit Directory(int descriptor) : fd(descriptor) {}
  ~Directory() { close(fd); }
  int fd;
};

struct Task {
  std::shared_ptr<Directory> parent;  // null for the top
  std::string name;                   // in `parent`
  std::string path;
};

std::string wanted;
std::mutex output_lock;
std::atomic<unsigned> removed{0};
std::atomic<bool> failed{false};

// Newest first: the queue stays short, and so does the list of directories
// held open for it.
std::mutex queue_lock;
std::condition_variable queue_changed;
std::vector<Task> queue;
size_t pending = 0;  // tasks queued or running

bool Matches(const char* name) {
  const char* dot = strrchr(name, '.');
  const char* tail = dot ? dot + 1 : name;
  if (strlen(tail) != wanted.size()) return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    unsigned char a = tail[i], b = wanted[i];
    if (a >= 'a' && a <= 'z') a -= 'a' - 'A';
    if (a != b) return false;
  }
  return true;
}

// One thread's lines, written out in blocks of whole lines.
class Lines {
 public:
  ~Lines() { Flush(); }
  void Add(const char* a, const std::string& b, const char* c) {
    text_ += a;
    text_ += b;
    text_ += c;
    if (text_.size() >= 64 * 1024) Flush();
  }
  void Failed(const char* head, const std::string& path, int error) {
    Add(head, path, (", error " + std::to_string(error) + "\n").c_str());
    failed = true;
  }
  void Flush() {
    std::lock_guard<std::mutex> locked(output_lock);
    fwrite(text_.data(), 1, text_.size(), stdout);
    text_.clear();
  }

 private:
  std::string text_;
};

void Push(Task task) {
  std::lock_guard<std::mutex> locked(queue_lock);
  queue.push_back(std::move(task));
  ++pending;
  queue_changed.notify_one();
}

bool IsDirectory(int fd, const struct dirent64* d) {
  if (d->d_type != DT_UNKNOWN) return d->d_type == DT_DIR;
  struct stat st;
  return fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

void Sweep(const Task& task, char* buffer, size_t size, Lines* lines) {
  int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = task.parent ? openat(task.parent->fd, task.name.c_str(), flags) : open(".", flags);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
      lines->Failed("Unable to list ", task.path, errno);
    return;
  }
  auto dir = std::make_shared<Directory>(fd);
  unsigned count = 0;
  for (;;) {
    ssize_t got = getdents64(fd, buffer, size);
    if (got < 0) lines->Failed("Unable to list ", task.path, errno);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const struct dirent64* d = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += d->d_reclen;
      if (IsDirectory(fd, d)) {
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
          Push({dir, d->d_name, task.path + "/" + d->d_name});
      } else if (Matches(d->d_name)) {
        std::string path = task.path + "/" + d->d_name;
        lines->Add("removing ", path, "\n");
        if (unlinkat(fd, d->d_name, 0) == 0) {
          ++count;
        } else if (errno != ENOENT) {
          lines->Failed("Unable to remove ", path, errno);
        }
      }
    }
  }
  removed += count;
}

void Work() {
  alignas(struct dirent64) static thread_local char buffer[32 * 1024];
  Lines lines;
  std::unique_lock<std::mutex> locked(queue_lock);
  for (;;) {
    queue_changed.wait(locked, [] { return !queue.empty() || pending == 0; });
    if (queue.empty()) return;
    Task task = std::move(queue.back());
    queue.pop_back();
    locked.unlock();
    Sweep(task, buffer, sizeof buffer, &lines);
    task = Task();
    locked.lock();
    if (--pending == 0) queue_changed.notify_all();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: zapext-bench-reference EXTENSION\n", stderr);
    return 1;
  }
  for (const char* c = argv[1]; *c; ++c)
    wanted += (*c >= 'a' && *c <= 'z') ? static_cast<char>(*c - ('a' - 'A')) : *c;
  // Directories wait in the queue open: allow as many as the system does.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  char* cwd = getcwd(nullptr, 0);
  if (!cwd) {
    fprintf(stdout, "Unable to read the current directory, error %d\n", errno);
    return 2;
  }
  static char out[64 * 1024];
  setvbuf(stdout, out, _IOFBF, sizeof out);
  Push({nullptr, "", cwd});
  free(cwd);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < kThreads; ++i) threads.emplace_back(Work);
  for (std::thread& thread : threads) thread.join();
  fprintf(stdout, "removed %u files\n\n", removed.load());
  if (fflush(stdout) != 0) return 2;
  return failed ? 2 : 0;
}
