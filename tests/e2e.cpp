#include "tests/e2e.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace {

const uid_t kNobody = 65534;

// The name of each directory of a deep chain, long enough to pass PATH_MAX soon.
const char kDeepName[] = "a-rather-long-directory-name-to-pass-path-limits";

// A path in the scenario's notation: "^/x" lies outside, anything else inside.
std::string OnDisk(const std::string& base, const std::string& path) {
  if (path.compare(0, 2, "^/") == 0) return base + "/outside/" + path.substr(2);
  return base + "/work/" + path;
}

void Check(bool ok, const std::string& what) {
  if (!ok) FAIL() << what << ": " << strerror(errno);
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) FAIL() << "mkdir " << dir;
  }
}

// Everything below `fd`, in the scenario's notation, relative to `prefix`.
// Lists the tree below `fd`, unlocking the locked directories in it, or,
// with `as_it_is`, leaving them as they are, and unlisted.
void ListTree(int fd, const std::string& prefix, std::vector<std::string>* out,
              bool as_it_is = false) {
  DIR* dir = fdopendir(fd);
  ASSERT_NE(nullptr, dir);
  while (struct dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    ASSERT_EQ(0, fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW));
    if (S_ISDIR(st.st_mode)) {
      out->push_back(prefix + name + "/");
      if (!as_it_is) fchmodat(dirfd(dir), d->d_name, 0755, 0);  // locked ones too
      int sub = openat(dirfd(dir), d->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (sub < 0 && as_it_is) continue;
      ASSERT_GE(sub, 0) << name;
      ListTree(sub, prefix + name + "/", out, as_it_is);
    } else {
      bool read_only = S_ISREG(st.st_mode) && !(st.st_mode & 0222);
      out->push_back(prefix + name + (read_only ? " ro" : ""));
    }
  }
  closedir(dir);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// The path a line speaks of, or "" for a line that names none.
std::string PathOf(const std::string& line) {
  for (const char* head : {"removing ", "would remove ", "Unable to remove read-only for ",
                           "Unable to remove ", "Unable to list "}) {
    if (line.compare(0, strlen(head), head) != 0) continue;
    std::string path = line.substr(strlen(head));
    size_t error = path.rfind(", error ");
    return head[0] != 'U' || error == std::string::npos ? path : path.substr(0, error);
  }
  return "";
}

// Each directory's lines must stand together: a subtree is swept whole when
// its directory is met, and a failed removal is reported right after it.
void CheckOrder(const std::vector<std::string>& lines, const std::string& root, char sep) {
  std::map<std::string, std::pair<size_t, size_t>> spans;  // first and last line
  std::map<std::string, size_t> counts;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string path = PathOf(lines[i]);
    if (path.empty()) continue;  // the rest of a name that holds a line feed
    ASSERT_EQ(0u, path.compare(0, root.size(), root)) << lines[i];
    for (size_t at = root.size() + 1; (at = path.find(sep, at)) != std::string::npos; ++at) {
      std::string dir = path.substr(0, at);
      if (!counts[dir]++) spans[dir].first = i;
      spans[dir].second = i;
    }
    if (lines[i].compare(0, 17, "Unable to remove ") == 0 &&
        lines[i].compare(0, 30, "Unable to remove read-only for") != 0) {
      ASSERT_GT(i, 0u);
      EXPECT_EQ("removing " + path, lines[i - 1]);
    }
  }
  for (const auto& span : spans)
    EXPECT_EQ(span.second.second - span.second.first + 1, counts[span.first])
        << "the lines of " << span.first << " are not together";
}

// The expected text of a line in the platform's form.
struct Expander {
  const Runner& runner;
  std::string root;

  std::string operator()(const std::string& line) const {
    std::string text = Replace(Replace(line, "/", std::string(1, runner.separator)), "@", root);
    for (const auto& code : runner.error_codes)
      text = Replace(text, code.first, std::to_string(code.second));
    return text;
  }
};

struct Expected {
  std::vector<std::string> lines;
  std::vector<std::string> left;
  int total;
  int status;
};

// What the deep chain adds: every level's x.bak goes, down to the first
// level that passes the runner's path limit; that one is reported and the
// rest stays.
void ExpectDeep(const Runner& runner, const Expander& expand, int levels, Expected* expected) {
  size_t limit = runner.path_limit ? runner.path_limit : std::string::npos;
  std::string deep = "deep";
  bool listed = true;
  for (int i = 0; i < levels; ++i) {
    deep += "/";
    deep += kDeepName;
    std::string dir = "@/" + deep, file = dir + "/x.bak";
    if (listed && expand(dir).size() + 4 >= limit) {
      expected->lines.push_back(expand("Unable to list " + dir + ", error {too long}"));
      listed = false;
    }
    bool removed = listed && expand(file).size() < limit;
    if (listed) expected->lines.push_back(expand("removing " + file));
    if (listed && !removed)
      expected->lines.push_back(expand("Unable to remove " + file + ", error {too long}"));
    if (removed) {
      ++expected->total;
    } else {
      expected->status = 2;
      expected->left.push_back(deep + "/x.bak");
    }
    expected->left.push_back(deep + "/");
    expected->left.push_back(deep + "/keep.txt");
  }
  if (levels) expected->left.push_back("deep/");
}

}  // namespace

void Build(const std::string& base, const std::string& entry) {
  std::string path = entry, target, mark;
  size_t arrow = entry.find(" -> ");
  bool hard = arrow == std::string::npos && (arrow = entry.find(" => ")) != std::string::npos;
  if (arrow != std::string::npos) {
    path = entry.substr(0, arrow);
    target = entry.substr(arrow + 4);
    if (target.compare(0, 2, "^/") == 0) target = OnDisk(base, target);
  } else if (size_t space = entry.rfind(' '); space != std::string::npos &&
                                             entry.back() != ' ' && entry[space - 1] != ' ') {
    std::string word = entry.substr(space + 1);
    if (word == "ro" || word == "locked" || word == "sealed") {
      path = entry.substr(0, space);
      mark = word;
    }
  }
  bool dir = !path.empty() && path.back() == '/';
  std::string disk = OnDisk(base, dir ? path.substr(0, path.size() - 1) : path);
  MakeParents(disk);
  if (!target.empty()) {
    Check((hard ? link(target.c_str(), disk.c_str()) : symlink(target.c_str(), disk.c_str())) == 0,
          "link " + disk);
  } else if (dir) {
    Check(mkdir(disk.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + disk);
  } else {
    int fd = open(disk.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
    Check(fd >= 0, "create " + disk);
    close(fd);
  }
  // Permissions are applied after the whole tree is built; remember them.
  if (!mark.empty()) {
    mode_t mode = mark == "ro" ? 0444 : mark == "locked" ? 0 : 0555;
    Check(chmod(disk.c_str(), mode) == 0, "chmod " + disk);
  }
}

void BuildChain(const std::string& top, int levels, const std::string& name,
                const std::function<void(int fd, int level)>& fill) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0) << top;
  for (int level = 1; level <= levels; ++level) {
    ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755)) << "level " << level;
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0) << "level " << level;
    fd = next;
    fill(fd, level);
  }
  close(fd);
}

std::vector<std::string> Remaining(const std::string& base, bool as_it_is) {
  std::vector<std::string> out;
  for (const char* part : {"work", "outside"}) {
    int fd = open((base + "/" + part).c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ListTree(fd, std::string(part) == "work" ? "" : "^/", &out, as_it_is);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  return read.str();
}

std::string MakeBase() {
  char base_template[] = "/tmp/zapext-e2e.XXXXXX";
  EXPECT_NE(nullptr, mkdtemp(base_template));
  char* real = realpath(base_template, nullptr);
  std::string base = real ? real : base_template;
  free(real);
  for (const char* part : {"/work", "/outside"}) EXPECT_EQ(0, mkdir((base + part).c_str(), 0755));
  return base;
}

void RemoveBase(const std::string& base) {
  ASSERT_EQ(0, system(("chmod -R u+rwx " + base + " && rm -rf " + base).c_str()));
}

pid_t Start(const Launch& launch) {
  pid_t pid = fork();
  if (pid == 0) {
    if (launch.output_fd >= 0 || !launch.output.empty()) {
      int fd = launch.output_fd >= 0
                   ? launch.output_fd
                   : open(launch.output.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
    } else {
      close(1);
    }
    // Files, not pipes: what the tool leaves running (wine's services) would
    // hold a pipe open long after the tool is gone.
    if (!launch.errors.empty()) {
      int fd = open(launch.errors.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 2) < 0) _exit(127);
    }
    // Nothing but the standard streams: the tool's descriptors are counted.
    close_range(3, ~0U, 0);
    if (launch.open_files) {
      struct rlimit limit = {launch.open_files,
                             launch.open_files_hard ? launch.open_files_hard : launch.open_files};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
    }
    for (auto [resource, value] : {std::make_pair(RLIMIT_STACK, launch.stack),
                                   std::make_pair(RLIMIT_AS, launch.address_space)}) {
      struct rlimit limit = {value, value};
      if (value && setrlimit(resource, &limit) != 0) _exit(127);
    }
    // A writer to a closed pipe is ended by SIGPIPE, unless its parent ignored it.
    signal(SIGPIPE, SIG_DFL);
    if (chdir(launch.cwd.c_str()) != 0) _exit(127);
    for (const std::string& e : launch.environment) putenv(strdup(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : launch.command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid, struct rusage* usage) {
  int status = 0;
  struct rusage ignored;
  EXPECT_EQ(pid, wait4(pid, &status, 0, usage ? usage : &ignored));
  return status;
}

bool HangGuard::Tripped(const char* what) const {
  if (time(nullptr) < end) return false;
  ADD_FAILURE() << "hang guard: still " << what << " after 240 s";
  return true;
}

struct Racer::Shared {  // zeroed by mmap
  std::atomic<int> stop;
  std::atomic<long> done;
};

Racer::Racer(const std::string& cwd, const std::function<bool(long)>& step) {
  shared_ = static_cast<Shared*>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(1);
    for (long i = 0; !shared_->stop.load(std::memory_order_relaxed); ++i)
      if (step(i)) shared_->done.fetch_add(1, std::memory_order_relaxed);
    _exit(0);
  }
}

Racer::~Racer() {
  Stop();
  munmap(shared_, sizeof(Shared));
}

long Racer::Done() const { return shared_->done.load(); }

void Racer::Pause() {
  kill(pid_, SIGSTOP);
  waitpid(pid_, nullptr, WUNTRACED);
}

void Racer::Resume() { kill(pid_, SIGCONT); }

void Racer::Stop() {
  if (pid_ <= 0) return;
  shared_->stop.store(1);
  kill(pid_, SIGCONT);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

// A sweep counts when the racer swapped while it ran; the race is shown real
// by the sweeps that met the swapped state: the real directory entered under
// the link's name, or the link removed under the real file's name.
void LinkRace(const Runner& runner, bool directories, int sweeps) {
  const char* const kOutsideFiles[] = {"target.bak", "o1.bak", "o2.BAK", "sub/x.bak", "sub/y.bak"};
  const int kSwappedSeen = 20;
  std::string base = MakeBase();
  std::string work = base + "/work", outside = base + "/outside";
  for (const char* name : kOutsideFiles) Build(base, std::string("^/") + name);
  // The real one and the link trade names: both are always there, one of
  // each. Of the files only the real one's name matches: what is left under
  // the other afterwards tells which of the two the tool removed.
  std::string real = directories ? "dir" : "f.bak", link = directories ? "link" : "l.txt";
  int real_dir = -1;
  if (directories) {
    Build(base, "dir/");
    real_dir = open((work + "/dir").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(real_dir, 0);
  }
  auto refill = [&] {
    if (directories) {
      for (const char* name : {"a.bak", "b.bak", "c.bak"})
        close(openat(real_dir, name, O_CREAT | O_WRONLY, 0644));
      return;
    }
    unlink((work + "/f.bak").c_str());
    unlink((work + "/l.txt").c_str());
    Build(base, "f.bak");
    Build(base, "l.txt -> ^/target.bak");
  };
  if (directories) Build(base, "link -> ^/");
  refill();

  Launch launch;
  launch.command = runner.command;
  launch.command.push_back("bak");
  launch.environment = runner.environment;
  launch.cwd = work;
  launch.output = base + "/output";
  // What the runner itself says (wine, qemu) when a run fails.
  launch.errors = base + "/errors";
  std::string under_link = runner.separator + link + runner.separator;
  Racer racer(work, [&](long) {
    return renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
  });
  int done = 0, counted = 0, swapped = 0, lost = 0, unstarted = 0;
  for (HangGuard guard; (counted < sweeps || swapped < kSwappedSeen) && !lost &&
                        !guard.Tripped("racing, too few sweeps met the swapped state");
       ++done) {
    long swaps = racer.Done();
    int status = Wait(Start(launch));
    racer.Pause();
    std::string output = ReadAll(launch.output);
    // The tool writes a line before it ends with 1. Ending so without a
    // byte, the run never reached it: wine failed to start it, which under
    // load it has done about once in thousands of runs. That is no outcome
    // of the race; a few are allowed, and told.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1 && output.empty() && unstarted < 3) {
      ++unstarted;
      printf("[ figures ] the runner did not start the tool (status 1, no output): %s\n",
             ReadAll(launch.errors).c_str());
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << status << ":\n" << output << "standard error:\n" << ReadAll(launch.errors);
    }
    if (racer.Done() > swaps) {
      ++counted;
      struct stat other;
      swapped += directories
                     ? output.find(under_link) != std::string::npos
                     : lstat((work + "/l.txt").c_str(), &other) == 0 && S_ISREG(other.st_mode);
    }
    for (const char* name : kOutsideFiles) lost += access((outside + "/" + name).c_str(), F_OK) != 0;
    refill();
    racer.Resume();
  }
  racer.Stop();
  printf("[ figures ] %s race: %d sweeps, %d raced, %d met the swapped state, %d lost outside\n",
         directories ? "directory" : "file", done, counted, swapped, lost);
  EXPECT_EQ(0, lost) << "after " << done << " sweeps";
  if (real_dir >= 0) close(real_dir);
  RemoveBase(base);
}

void RunnerMissing(const char* why) {
  const char* ci = getenv("CI");
  if (ci && strcmp(ci, "true") == 0) FAIL() << "CI=true, but " << why;
  GTEST_SKIP() << why;
}

std::vector<std::string> LinesOf(const std::string& path, const char* line_end) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line_end[0] == '\r' && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

long TotalOf(const std::vector<std::string>& lines) {
  if (lines.size() < 2 || lines.back() != "" || lines[lines.size() - 2].compare(0, 8, "removed "))
    return -1;
  return atol(lines[lines.size() - 2].c_str() + 8);
}

size_t CountStarting(const std::vector<std::string>& lines, const char* head) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.compare(0, strlen(head), head) == 0;
  return n;
}

void MakeFile(int dir_fd, const std::string& name) {
  int fd = openat(dir_fd, name.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0) << name;
  close(fd);
}

// The entries are links to one file outside, whose link count shows the
// sweep under way; the output goes to a pipe, read only after the signals
// and far too small to take it all.
int InterruptSweep(const Runner& runner, const std::vector<int>& signals) {
  std::string base = MakeBase();
  Build(base, "big/");
  int outside = open((base + "/outside").c_str(), O_RDONLY | O_DIRECTORY);
  int big = open((base + "/work/big").c_str(), O_RDONLY | O_DIRECTORY);
  MakeFile(outside, "seed");
  int seed = openat(outside, "seed", O_RDONLY);
  const long kEntries = 40000;  // below the file system's link limit
  auto links_left = [&] {
    struct stat st;
    return fstat(seed, &st) == 0 ? static_cast<long>(st.st_nlink) - 1 : -1;
  };
  char name[32];
  for (long i = 0; i < kEntries; ++i) {
    snprintf(name, sizeof name, "f%06ld.bak", i);
    EXPECT_EQ(0, linkat(outside, "seed", big, name, 0)) << name;
  }
  int ends[2];
  EXPECT_EQ(0, pipe2(ends, O_CLOEXEC));
  Launch launch;
  launch.command = runner.command;
  launch.command.push_back("bak");
  launch.environment = runner.environment;
  launch.cwd = base + "/work";
  launch.output_fd = ends[1];
  pid_t pid = Start(launch);
  close(ends[1]);
  siginfo_t ended = {};
  for (HangGuard guard; links_left() == kEntries &&
                        waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                        !ended.si_pid && !guard.Tripped("waiting for the first removal");)
    sched_yield();
  long gone = kEntries - links_left();
  EXPECT_GT(gone, 0) << "the signal must come once the sweep is under way";
  EXPECT_EQ(0, ended.si_pid) << "the tool ended before the signal";
  for (int signal_number : signals) kill(pid, signal_number);
  // Opened anew, the pipe reads to the end of what the tool writes.
  std::vector<std::string> lines = LinesOf("/dev/fd/" + std::to_string(ends[0]), runner.line_end);
  close(ends[0]);
  int status = Wait(pid);
  long announced = static_cast<long>(CountStarting(lines, "removing "));
  printf("[ figures ] signal %d: sent when %ld files were gone, stopped after %ld of %ld\n",
         signals.front(), gone, announced, kEntries);
  EXPECT_GE(announced, gone);
  EXPECT_LT(announced, kEntries) << "the sweep went on after the signal";
  EXPECT_EQ(announced, TotalOf(lines));
  EXPECT_EQ(kEntries - announced, links_left());
  EXPECT_EQ(lines.size(), static_cast<size_t>(announced) + 2) << "only removals and the total";
  close(seed);
  close(outside);
  close(big);
  RemoveBase(base);
  return status;
}

std::vector<Scenario> ScenariosFor(unsigned runner) {
  std::vector<Scenario> out;
  for (const Scenario& s : Scenarios())
    if (s.runners & runner) out.push_back(s);
  return out;
}

std::string ScenarioName(const Scenario& scenario) { return scenario.name; }

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

void RunScenario(const Runner& runner, const Scenario& scenario) {
  std::string base = MakeBase();
  for (const std::string& entry : scenario.tree) Build(base, entry);
  if (scenario.deep_levels) {
    Build(base, "deep/");
    BuildChain(base + "/work/deep", scenario.deep_levels, kDeepName, [](int fd, int) {
      for (const char* name : {"x.bak", "keep.txt"}) close(openat(fd, name, O_CREAT | O_WRONLY, 0644));
    });
  }

  if (scenario.locale) {
    locale_t locale = newlocale(LC_ALL_MASK, scenario.locale, nullptr);
    ASSERT_NE(nullptr, locale) << "no locale " << scenario.locale << ": .ci/install-deps makes it";
    freelocale(locale);
  }

  std::string root = runner.root_text(base + "/work");
  if (scenario.at_drive_root) {
    ASSERT_FALSE(runner.drive_link.empty()) << "this runner cannot make a drive";
    unlink(runner.drive_link.c_str());
    ASSERT_EQ(0, symlink((base + "/work").c_str(), runner.drive_link.c_str()));
    root = runner.drive_root;
  }

  Launch launch;
  launch.command = runner.command;
  launch.command.insert(launch.command.end(), scenario.args.begin(), scenario.args.end());
  launch.environment = runner.environment;
  if (scenario.locale) launch.environment.push_back(std::string("LC_ALL=") + scenario.locale);
  if (scenario.unprivileged && geteuid() == 0) {
    ASSERT_EQ(0, system(("chown -hR 65534:65534 " + base).c_str()));
    chmod(base.c_str(), 0755);
    launch.command.insert(launch.command.begin(),
                          {"setpriv", "--reuid=" + std::to_string(kNobody),
                           "--regid=" + std::to_string(kNobody), "--clear-groups"});
    launch.environment.insert(launch.environment.end(), runner.unprivileged_environment.begin(),
                              runner.unprivileged_environment.end());
  }
  launch.cwd = base + "/work";
  if (!scenario.cwd.empty()) launch.cwd += "/" + scenario.cwd;
  launch.output = base + "/output";
  launch.errors = base + "/errors";
  std::vector<std::string> built =
      runner.may_not_start ? Remaining(base, true) : std::vector<std::string>();
  int wait_status = Wait(Start(launch));
  // Every run of the tool writes a line. One that left no trace at all, no
  // line on either stream and the tree as built, never ran: started once
  // more, and said so.
  if (runner.may_not_start && ReadAll(launch.output).empty() && ReadAll(launch.errors).empty() &&
      Remaining(base, true) == built) {
    printf("[ again ] the first start left no trace (status %d): started once more\n",
           WEXITSTATUS(wait_status));
    wait_status = Wait(Start(launch));
  }
  if (scenario.at_drive_root) unlink(runner.drive_link.c_str());
  EXPECT_TRUE(WIFEXITED(wait_status)) << "the tool was killed by signal " << WTERMSIG(wait_status);
  int status = WEXITSTATUS(wait_status);
  std::string output = ReadAll(launch.output);
  EXPECT_EQ("", ReadAll(launch.errors)) << "the tool never writes to standard error";

  // What was expected, in the platform's form.
  Expander expand{runner, root};
  std::string eol = runner.line_end;
  Expected expected{{}, scenario.left, scenario.total, scenario.status};
  for (const std::string& line : scenario.lines) expected.lines.push_back(expand(line));
  ExpectDeep(runner, expand, scenario.deep_levels, &expected);
  std::sort(expected.left.begin(), expected.left.end());

  EXPECT_EQ(expected.status, status);
  if (scenario.exact) {
    EXPECT_EQ(Replace(scenario.exact, "\n", eol), output);
  } else {
    std::string total = std::string(scenario.total_words) + " " + std::to_string(expected.total) +
                        " files" + eol + eol;
    ASSERT_GE(output.size(), total.size()) << output;
    EXPECT_EQ(total, output.substr(output.size() - total.size()));
    std::vector<std::string> got;
    std::string body = output.substr(0, output.size() - total.size());
    for (size_t at = 0, end; at < body.size(); at = end + eol.size()) {
      end = body.find(eol, at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "output does not end its lines: " << body.substr(at);
        break;
      }
      got.push_back(body.substr(at, end - at));
    }
    CheckOrder(got, root, runner.separator);
    std::sort(got.begin(), got.end());
    std::sort(expected.lines.begin(), expected.lines.end());
    EXPECT_EQ(expected.lines, got);
  }
  EXPECT_EQ(expected.left, Remaining(base));
  RemoveBase(base);
}
