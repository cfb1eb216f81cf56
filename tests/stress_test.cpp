// The tool under attack: links swapped while it sweeps, files that change
// under it, trees deeper and wider than anyone would make, limits on open
// files, hostile arguments and output that cannot be written. Each case is
// bounded by counts, never by the clock; the figures it measures are printed
// as "[ figures ]".
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <sys/ioctl.h>
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/zapext.h"
#include "tests/e2e.h"

namespace {

Launch SweepIn(const std::string& base, const std::vector<std::string>& args) {
  Launch launch;
  launch.command = {ZAPEXT_BINARY};
  launch.command.insert(launch.command.end(), args.begin(), args.end());
  // Memory is measured: what the tool frees must be reused, not held back for
  // the sanitizer's checks.
  launch.environment = {"ASAN_OPTIONS=quarantine_size_mb=0:thread_local_quarantine_size_kb=0"};
  launch.cwd = base + "/work";
  launch.output = base + "/output";
  return launch;
}

// Runs the tool to its end; returns its exit status, or -1 when a signal ended it.
int Sweep(const Launch& launch, struct rusage* usage = nullptr) {
  int status = Wait(Start(launch), usage);
  EXPECT_TRUE(WIFEXITED(status)) << "the tool was killed by signal " << WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

Runner NativeRunner() {
  Runner runner;
  runner.command = {ZAPEXT_BINARY};
  return runner;
}

void DirectoryLinkRace() { LinkRace(NativeRunner(), true, 200); }
void FileLinkRace() { LinkRace(NativeRunner(), false, 200); }

// A second process creates, removes and renames files and directories while
// the tool sweeps. The count must be exactly what the tool removed: the files
// that ever were, less those the racer took away and those left afterwards.
// A file that vanished is not reported, so nothing fails. The rounds go on
// until the race is shown real: some file went between listing and removal.
void FilesChangeUnderTheSweep() {
  const int kFiles = 300, kRounds = 8;
  struct Tally {
    long created, taken;
  };
  Tally* tally = static_cast<Tally*>(
      mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  long vanished = 0;
  int rounds = 0;
  for (HangGuard guard; (rounds < kRounds || vanished == 0) &&
                        !guard.Tripped("sweeping, no file vanished before its removal");
       ++rounds) {
    std::string base = MakeBase();
    for (const char* dir : {"a", "b", "c"}) {
      for (int i = 0; i < kFiles; ++i) {
        Build(base, std::string(dir) + "/f" + std::to_string(i) + ".bak");
        if (i % 6 == 0) Build(base, std::string(dir) + "/k" + std::to_string(i) + ".txt");
      }
    }
    *tally = Tally{0, 0};
    std::string outside = base + "/outside/";
    Racer racer(base + "/work", [&](long i) {
      std::string n = std::to_string(i), f = "f" + std::to_string(i / 5 % kFiles) + ".bak";
      switch (i % 5) {
        case 0:  // a new file
          if (int fd = open(("a/n" + n + ".bak").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
              fd >= 0) {
            close(fd);
            ++tally->created;
          }
          break;
        case 1:  // taken out of the tree
          if (rename(("b/" + f).c_str(), (outside + "t" + n).c_str()) == 0) ++tally->taken;
          break;
        case 2:  // moved within the tree
          rename(("c/" + f).c_str(), ("a/m" + n + ".bak").c_str());
          break;
        case 3:  // removed: the one created three steps ago
          if (unlink(("a/n" + std::to_string(i - 3) + ".bak").c_str()) == 0) ++tally->taken;
          break;
        case 4:  // a directory renamed there and back
          if (rename("c", "c2") != 0) rename("c2", "c");
          break;
      }
      return true;
    });
    Launch launch = SweepIn(base, {"bak"});
    int status = Sweep(launch);
    racer.Stop();

    std::vector<std::string> lines = LinesOf(launch.output);
    long left = 0;
    for (const std::string& entry : Remaining(base))
      left += entry.size() > 4 && entry.compare(0, 2, "^/") != 0 &&
              entry.compare(entry.size() - 4, 4, ".bak") == 0;
    long removed = 3 * kFiles + tally->created - tally->taken - left;
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, CountStarting(lines, "Unable"));
    EXPECT_EQ(removed, TotalOf(lines)) << "round " << rounds;
    vanished += static_cast<long>(CountStarting(lines, "removing ")) - TotalOf(lines);
    RemoveBase(base);
    if (testing::Test::HasFailure()) break;
  }
  munmap(tally, sizeof(Tally));
  printf("[ figures ] files changing: %d sweeps, %ld files vanished before their removal\n", rounds,
         vanished);
}

// Chains of directories "d", each level holding "x.bak" and, where
// `siblings`, a directory "s" with "y.bak"; files only from level
// `filled_from` down. With a limit on open files the tool goes as deep as
// it can, reports the first level it cannot list and sweeps on.
struct Chain {
  const char* title;
  int depth;
  rlim_t open_files, open_files_hard;  // 0: as the test runs
  int filled_from;
  bool siblings;
  bool whole;  // swept to the bottom; else as deep as the limit allows
  rlim_t stack;  // a limit on the main stack, or 0
  rlim_t address_space;  // a limit on the address space, or 0: then no
                         // stack for the descriptor limit can be had
};

// Whether `text` is `head`, the text of the chain's level `level` below
// `root`, then `tail`; checked in place, as the texts are long.
bool IsChainText(const std::string& text, const std::string& head, const std::string& root,
                 int level, const std::string& tail) {
  size_t at = head.size() + root.size();
  if (text.size() != at + 2 * level + tail.size() || text.compare(0, head.size(), head) != 0 ||
      text.compare(head.size(), root.size(), root) != 0 ||
      text.compare(at + 2 * level, tail.size(), tail) != 0)
    return false;
  for (int i = 0; i < level; ++i)
    if (text[at + 2 * i] != '/' || text[at + 2 * i + 1] != 'd') return false;
  return true;
}

void SweepChain(const Chain& chain) {
  std::string base = MakeBase();
  BuildChain(base + "/work", chain.depth, "d", [&](int fd, int level) {
    if (level < chain.filled_from) return;
    MakeFile(fd, "x.bak");
    if (!chain.siblings) return;
    ASSERT_EQ(0, mkdirat(fd, "s", 0755));
    int s = openat(fd, "s", O_RDONLY | O_DIRECTORY);
    MakeFile(s, "y.bak");
    close(s);
  });
  Launch launch = SweepIn(base, {"bak"});
  launch.open_files = chain.open_files;
  launch.open_files_hard = chain.open_files_hard;
  launch.stack = chain.stack;
  launch.address_space = chain.address_space;
  struct rusage usage;
  int status = Sweep(launch, &usage);

  // Read the output as it comes: its lines are as long as the tree is deep.
  std::string root = base + "/work";
  std::ifstream in(launch.output, std::ios::binary);
  int unlisted = chain.depth + 1;  // the first level that could not be listed
  std::vector<char> seen_x(chain.depth + 1), seen_y(chain.depth + 1);
  std::string line, failures;
  long removing = 0, total = -1;
  while (std::getline(in, line)) {
    if (line.compare(0, 14, "Unable to list") == 0) {
      failures += line.substr(0, 20 + root.size()) + "...\n";
      size_t end = line.rfind(", error ");
      ASSERT_NE(std::string::npos, end) << failures;
      std::string path = line.substr(15, end - 15);
      EXPECT_EQ(", error 24", line.substr(end)) << failures;
      bool sibling = path.size() > 2 && path.compare(path.size() - 2, 2, "/s") == 0;
      int level = static_cast<int>((path.size() - root.size()) / 2) - sibling;
      ASSERT_TRUE(IsChainText(path, "", root, level, sibling ? "/s" : "")) << failures;
      if (!sibling) unlisted = std::min(unlisted, level);
      continue;
    }
    if (sscanf(line.c_str(), "removed %ld files", &total) == 1) continue;
    if (line.empty()) continue;
    ++removing;
    bool y = line.size() > 8 && line.compare(line.size() - 8, 8, "/s/y.bak") == 0;
    size_t tail = y ? 8 : 6;
    int level = static_cast<int>((line.size() - 9 - tail - root.size()) / 2);
    ASSERT_TRUE(level >= 0 && level <= chain.depth) << line.substr(0, 100);
    ASSERT_TRUE(IsChainText(line, "removing ", root, level, y ? "/s/y.bak" : "/x.bak"))
        << line.substr(0, 100);
    ASSERT_FALSE((y ? seen_y : seen_x)[level]++) << "twice: level " << level;
  }
  // Every level above the first unlisted one was swept whole, and the
  // siblings of the deepest listed level could not be listed either.
  int swept = std::min(unlisted, chain.depth + 1);
  long expected = 0;
  for (int level = chain.filled_from; level < swept; ++level) {
    EXPECT_TRUE(seen_x[level]) << "x.bak at level " << level;
    bool y_listed = chain.siblings && (level + 1 < swept || swept > chain.depth);
    EXPECT_EQ(y_listed, static_cast<bool>(seen_y[level])) << "s/y.bak at level " << level;
    expected += 1 + y_listed;
  }
  EXPECT_EQ(expected, removing);
  EXPECT_EQ(expected, total);
  EXPECT_EQ(chain.whole ? 0 : 2, status) << failures;
  if (chain.whole) {
    EXPECT_EQ(chain.depth, swept - 1) << failures;
  } else if (chain.open_files) {
    // One descriptor a level and no other, besides the standard three.
    EXPECT_EQ(static_cast<int>(chain.open_files) - 3, unlisted) << "first level not listed";
  } else {
    EXPECT_LT(unlisted, chain.depth) << "deeper than the stack allows";
  }
  // Memory grows with the depth, by about one directory listing a level.
  EXPECT_LE(usage.ru_maxrss, 32 * 1024 + 32L * chain.depth) << "KiB";
  printf("[ figures ] %s: %d levels deep, %d swept, %ld files removed, status %d, peak %ld KiB\n%s",
         chain.title, chain.depth, swept - 1, total, status, usage.ru_maxrss, failures.c_str());

  // What is left: the chain, and the files of the levels never listed.
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  int level = 0;
  for (; fd >= 0; ++level) {
    bool filled = level >= chain.filled_from && level > 0;
    EXPECT_EQ(filled && level >= swept, faccessat(fd, "x.bak", F_OK, AT_SYMLINK_NOFOLLOW) == 0)
        << "level " << level;
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  EXPECT_EQ(chain.depth + 1, level) << "the chain itself must stay";
  RemoveBase(base);
}

rlim_t HardOpenFileLimit() {
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_max;
}

void DeepChains() {
  // As deep as this machine lets a process hold directories open: the tool
  // stops there with a message, never with a crash, even when the main
  // stack is far too small for that depth.
  rlim_t deepest = std::min<rlim_t>(HardOpenFileLimit(), 20000);
  const Chain chains[] = {
      {"10,000 levels", 10000, 0, 0, 1, false, true, 0, 0},
      {"ulimit -n 64", 100, 64, 0, 1, true, false, 0, 0},
      {"soft limit 64 raised to the hard 256", 100, 64, 256, 1, true, true, 0, 0},
      {"beyond the descriptor limit, ulimit -s 256", static_cast<int>(deepest) + 10, deepest, 0,
       static_cast<int>(deepest) - 40, true, false, 256 << 10, 0},
      {"no stack for that depth, ulimit -v 16000 -s 256", 5000, 0, 0, 1, true, false, 256 << 10,
       16000 << 10},
      // The main stack has no limit of its own, but cannot grow far here.
      {"no stack for that depth, ulimit -v 11000 -s unlimited", 15000, 0, 0, 14900, false, false,
       RLIM_INFINITY, 11000 << 10},
  };
  for (const Chain& chain : chains) {
    SCOPED_TRACE(chain.title);
    // A sanitizer reserves far more address space than that for itself.
    if (chain.address_space && ZAPEXT_SANITIZED) continue;
    SweepChain(chain);
  }
}

// One directory of a million entries needs no more memory than one of a
// thousand: the sweep holds one entry at a time. The entries are hard links
// to a few files, which makes them cheap to create.
void HugeDirectory() {
  long peak[2];
  const long kEntries[2] = {1000, 1000000};
  for (int run = 0; run < 2; ++run) {
    std::string base = MakeBase();
    Build(base, "big/");
    int outside = open((base + "/outside").c_str(), O_RDONLY | O_DIRECTORY);
    int big = open((base + "/work/big").c_str(), O_RDONLY | O_DIRECTORY);
    const long kPerFile = 50000;  // below the file system's link limit
    char name[32];
    for (long i = 0; i < kEntries[run]; ++i) {
      std::string seed = "seed" + std::to_string(i / kPerFile);
      if (i % kPerFile == 0) MakeFile(outside, seed);
      snprintf(name, sizeof name, "f%07ld.bak", i);
      ASSERT_EQ(0, linkat(outside, seed.c_str(), big, name, 0)) << name;
    }
    close(big);
    Launch launch = SweepIn(base, {"bak"});
    // Freed memory must be reused, not held for the sanitizer's checks.
    struct rusage usage;
    EXPECT_EQ(0, Sweep(launch, &usage));
    peak[run] = usage.ru_maxrss;
    std::vector<std::string> lines = LinesOf(launch.output);
    EXPECT_EQ(kEntries[run], TotalOf(lines));
    EXPECT_EQ(static_cast<size_t>(kEntries[run]), CountStarting(lines, "removing "));
    // Every link is gone, and the files they linked to, outside, are not.
    for (long i = 0; i < kEntries[run]; i += kPerFile) {
      struct stat st;
      ASSERT_EQ(0, fstatat(outside, ("seed" + std::to_string(i / kPerFile)).c_str(), &st, 0));
      EXPECT_EQ(1u, st.st_nlink);
    }
    close(outside);
    RemoveBase(base);
  }
  printf("[ figures ] peak memory: %ld KiB for 1,000 entries, %ld KiB for 1,000,000\n", peak[0],
         peak[1]);
  // A sanitizer's allocator keeps freed memory in caches of each thread's
  // own: the tool's memory is the release build's.
  if (!ZAPEXT_SANITIZED) {
    EXPECT_LE(peak[1] - peak[0], 1024);
  }
}

// Under a limit on the address space that the single-threaded sweep works in
// (it needs about 2 MiB), the tool still completes, exactly: with fewer
// threads, or none, and never losing a line of a file it removed.
void MemoryLimit() {
  // A sanitizer reserves far more address space than that for itself.
  if (ZAPEXT_SANITIZED) GTEST_SKIP() << "the limit leaves a sanitizer no room";
  std::string base = MakeBase();
  for (int d = 0; d < 20; ++d) {
    std::string dir = "d" + std::to_string(d);
    Build(base, dir + "/");
    int fd = open((base + "/work/" + dir).c_str(), O_RDONLY | O_DIRECTORY);
    for (int f = 0; f < 500; ++f) MakeFile(fd, "f" + std::to_string(f) + (f < 400 ? ".bak" : ".txt"));
    close(fd);
  }
  Launch launch = SweepIn(base, {"bak"});
  launch.address_space = 4000 << 10;
  EXPECT_EQ(0, Sweep(launch));
  std::vector<std::string> lines = LinesOf(launch.output);
  EXPECT_EQ(8000, TotalOf(lines));
  EXPECT_EQ(8000u, CountStarting(lines, "removing "));
  EXPECT_EQ(8000u + 2, lines.size());
  EXPECT_EQ(20u * 100 + 20, Remaining(base).size());
  RemoveBase(base);
}

// Whether a thread of process `pid` waits to write to a full terminal.
bool WaitsToWrite(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return false;
  bool waits = false;
  while (struct dirent* task = readdir(dir)) {
    if (task->d_name[0] == '.') continue;
    waits |= ReadAll(tasks + "/" + task->d_name + "/wchan") == "wait_woken";
  }
  closedir(dir);
  return waits;
}

// Someone watching: on a terminal each line is written before its file
// goes, as the single-threaded sweep writes it, while the threads read ahead.
// Two trees of the same names (listed in the same order), one swept into a
// file and one onto a pseudo-terminal, must give the same lines; and once
// the terminal is full and the tool waits to write, every file gone has its
// line written, and no other.
void OnATerminal() {
  std::string bases[2] = {MakeBase(), MakeBase()};
  std::string output[2];
  // Long names: more than a terminal holds unread.
  const std::string kLong(150, 'n');
  const size_t kMatching = 30 * 21;
  for (int run = 0; run < 2; ++run) {
    for (int d = 0; d < 30; ++d) {
      std::string dir = kLong + std::to_string(d) + "/";
      for (int f = 0; f < 40; ++f)
        Build(bases[run], dir + (f % 2 ? "keep" : "old") + std::to_string(f) + (f % 2 ? ".txt" : ".bak"));
      Build(bases[run], dir + "sub/x.BAK");
    }
    Launch launch = SweepIn(bases[run], {"bak"});
    if (run == 0) {
      EXPECT_EQ(0, Wait(Start(launch)));
      output[run] = ReadAll(launch.output);
    } else {
      int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(terminal, 0);
      ASSERT_EQ(0, grantpt(terminal));
      ASSERT_EQ(0, unlockpt(terminal));
      launch.output = "";
      launch.output_fd = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(launch.output_fd, 0);
      struct termios raw;
      ASSERT_EQ(0, tcgetattr(launch.output_fd, &raw));
      raw.c_oflag &= ~OPOST;  // the lines as the tool writes them
      ASSERT_EQ(0, tcsetattr(launch.output_fd, TCSANOW, &raw));
      pid_t pid = Start(launch);
      close(launch.output_fd);
      // Not read yet, the terminal fills and the tool waits to write; held
      // there, it has written so many bytes, and so many files are gone.
      HangGuard guard;
      while (!WaitsToWrite(pid) && !guard.Tripped("waiting for the tool to fill the terminal"))
        sched_yield();
      int status;
      ASSERT_EQ(0, kill(pid, SIGSTOP));
      ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
      std::string io = ReadAll("/proc/" + std::to_string(pid) + "/io");
      size_t written = std::stoul(io.substr(io.find("wchar: ") + 7));
      size_t left = 0;
      for (const std::string& entry : Remaining(bases[run]))
        left += entry.find(".bak") != std::string::npos || entry.find(".BAK") != std::string::npos;
      ASSERT_EQ(0, kill(pid, SIGCONT));
      // Read to the end: EIO once the tool, the terminal's last user, is gone.
      char buffer[4096];
      for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;)
        output[run].append(buffer, got);
      close(terminal);
      EXPECT_EQ(0, Wait(pid));
      std::string told = output[run].substr(0, written);
      EXPECT_EQ(static_cast<size_t>(std::count(told.begin(), told.end(), '\n')), kMatching - left)
          << "files gone before their lines were written";
    }
    // The same text in either tree.
    for (size_t at; (at = output[run].find(bases[run])) != std::string::npos;)
      output[run].replace(at, bases[run].size(), "BASE");
    EXPECT_EQ(30u * 22, Remaining(bases[run]).size());  // each directory, sub/ and keep*.txt
  }
  EXPECT_EQ(output[0], output[1]);
  EXPECT_NE(std::string::npos, output[1].find("removed " + std::to_string(kMatching) + " files\n\n"));
  for (const std::string& base : bases) RemoveBase(base);
}

// Linux passes no single argument longer than 128 KiB to a program, so the
// 1 MiB one goes to the tool's entry in a child process, on the real file
// system, over a tree 300 deep. It matches nothing; memory must not grow
// with the argument times the depth.
void HugeArgument() {
  long peak[2];
  for (int run = 0; run < 2; ++run) {
    std::string base = MakeBase();
    Build(base, "a.bak");
    Build(base, "b.");
    BuildChain(base + "/work", 300, "d", [](int fd, int) { MakeFile(fd, "x.bak"); });
    std::string argument = run ? std::string(1 << 20, 'b') : "bb";
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir((base + "/work").c_str()) != 0 || !freopen((base + "/output").c_str(), "w", stdout))
        _exit(127);
      char* argv[] = {const_cast<char*>("zapext"), &argument[0], nullptr};
      _exit(ZapextMain(RealFileSystem(), 2, argv, stdout));
    }
    struct rusage usage;
    int status = Wait(pid, &usage);
    peak[run] = usage.ru_maxrss;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("removed 0 files\n\n", ReadAll(base + "/output"));
    EXPECT_TRUE(Exists(base + "/work/a.bak") && Exists(base + "/work/d/d/d/x.bak"));
    RemoveBase(base);
  }
  printf("[ figures ] 1 MiB argument: peak %ld KiB, against %ld KiB for a short one\n", peak[1],
         peak[0]);
  EXPECT_LE(peak[1] - peak[0], 4096);
}

// Output that cannot be written never changes what the sweep does; it is a
// failure (status 2). A closed pipe ends the tool by SIGPIPE, as any writer.
void OutputFails() {
  enum Kind { kClosed, kFull, kPipe };
  for (Kind kind : {kClosed, kFull, kPipe}) {
    SCOPED_TRACE(kind);
    std::string base = MakeBase();
    // More than a pipe holds, so that the writer meets the closed end.
    for (int i = 0; i < 2000; ++i) {
      Build(base, "d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".bak");
      Build(base, "d" + std::to_string(i % 7) + "/k" + std::to_string(i) + ".txt");
    }
    std::vector<std::string> kept;
    for (const std::string& entry : Remaining(base))
      if (entry.find(".bak") == std::string::npos) kept.push_back(entry);
    Launch launch = SweepIn(base, {"bak"});
    launch.output = kind == kFull ? "/dev/full" : "";
    int pipe_ends[2];
    if (kind == kPipe) {
      ASSERT_EQ(0, pipe2(pipe_ends, O_CLOEXEC));
      launch.output_fd = pipe_ends[1];
    }
    pid_t pid = Start(launch);
    int status;
    if (kind == kPipe) {
      close(pipe_ends[1]);
      char first[200];
      FILE* head = fdopen(pipe_ends[0], "r");
      ASSERT_NE(nullptr, fgets(first, sizeof first, head));
      EXPECT_EQ(0, strncmp(first, ("removing " + base).c_str(), 9 + base.size()));
      fclose(head);
      status = Wait(pid);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    } else {
      status = Wait(pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
      EXPECT_EQ(kept, Remaining(base));
    }
    RemoveBase(base);
  }
}

// The signals that interrupt a sweep.
const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

// Ctrl-C, SIGTERM or SIGHUP in the middle of a large sweep: the tool ends
// killed by that signal, with its lines told whole.
void Interrupted() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    int status = InterruptSweep(NativeRunner(), {signal_number});
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
  }
}

struct StressCase {
  const char* name;
  void (*run)();
};

const StressCase kStressCases[] = {
    {"DirectoryLinkRace", DirectoryLinkRace},
    {"FileLinkRace", FileLinkRace},
    {"FilesChangeUnderTheSweep", FilesChangeUnderTheSweep},
    {"DeepChains", DeepChains},
    {"HugeDirectory", HugeDirectory},
    {"MemoryLimit", MemoryLimit},
    {"OnATerminal", OnATerminal},
    {"HugeArgument", HugeArgument},
    {"OutputFails", OutputFails},
    {"Interrupted", Interrupted},
};

void PrintTo(const StressCase& c, std::ostream* os) { *os << c.name; }

class StressTest : public testing::TestWithParam<StressCase> {};

TEST_P(StressTest, Holds) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(Stress, StressTest, testing::ValuesIn(kStressCases),
                         [](const testing::TestParamInfo<StressCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
