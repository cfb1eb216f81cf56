// End-to-end scenarios: a real tree on disk, the built binary run in it, and
// the exact output, exit status and remaining tree checked. One table of
// scenarios serves every way of running the tool (native, or the Windows
// build under wine).
#ifndef ZAPEXT_TESTS_E2E_H_
#define ZAPEXT_TESTS_E2E_H_

#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Which runners a scenario applies to.
enum : unsigned { kNative = 1, kWine = 2, kEverywhere = kNative | kWine };

struct Scenario {
  const char* name;  // a test name: letters, digits, underscores
  unsigned runners;
  // The tree, one entry a string, created in order under the working directory:
  //   "dir/"            a directory (parents are created as needed)
  //   "file"            an empty file
  //   "file ro"         a file without write permission (read-only on Windows)
  //   "dir/ locked"     a directory nobody but root may list
  //   "dir/ sealed"     a directory whose entries cannot be removed
  //   "name -> target"  a symbolic link
  //   "name => target"  a hard link
  // A path that starts with "^/" lies outside the working directory, beside it.
  std::vector<std::string> tree;
  std::vector<std::string> args;
  // The expected lines before the total, in any order within a directory
  // (a directory's lines stand together, at its place). "@" stands for the
  // working directory's text, "/" in paths for the separator, and a name in
  // braces ("{denied}") for the platform's error code of that kind.
  std::vector<std::string> lines;
  int total;  // the count on the total line, apart from the deep chain's
  int status;  // when the deep chain passes the runner's path limit, 2
  // Everything left afterwards, inside and outside, in the tree's notation
  // (directories end in "/", files without write permission keep " ro",
  // link markers are not repeated).
  std::vector<std::string> left;
  // When set, the whole output must be exactly this ("\n" read as the
  // platform's line end), instead of lines and total.
  const char* exact = nullptr;
  // Runs the tool as an unprivileged user, for failures root would not meet.
  bool unprivileged = false;
  // Adds a chain of this many directories under "deep/", each holding "x.bak"
  // and "keep.txt", long enough to pass any path-length limit. Its lines and
  // its count are added to the expected ones.
  int deep_levels = 0;
  // Runs the tool from the root of a drive made of the working directory.
  bool at_drive_root = false;
  // Runs the tool with LC_ALL set to this; under wine it picks the ANSI code
  // page (ja_JP.UTF-8: 932, double-byte), in which the tool sees names and
  // arguments, and prints.
  const char* locale = nullptr;
  // Runs the tool in this directory of the tree instead; "@" in the lines
  // stays the working directory.
  std::string cwd = "";
  // The words before the count on the total line.
  const char* total_words = "removed";
};

const std::vector<Scenario>& Scenarios();

// How to run the tool: a command prefix and binary, and how the platform
// writes what the tool prints.
struct Runner {
  std::vector<std::string> command;  // e.g. {"/path/zapext"} or {"wine", "zapext.exe"}
  char separator = '/';
  const char* line_end = "\n";
  // The working directory's text as the tool will see it, from its POSIX path.
  std::string (*root_text)(const std::string& posix_path) = nullptr;
  // The environment for the command (added to the current one), and what
  // changes in it when a scenario runs the tool as an unprivileged user.
  std::vector<std::string> environment;
  std::vector<std::string> unprivileged_environment;
  // The platform's codes for the error names the scenarios use ("{denied}").
  std::vector<std::pair<std::string, int>> error_codes;
  // Paths this long or longer cannot be used, 0 for no limit. A directory is
  // listed through a pattern 4 characters longer than its path ("\\*.*").
  size_t path_limit = 0;
  // A link that, pointed at the working directory, makes it a drive, and the
  // text of that drive's root (for scenarios run at a drive root).
  std::string drive_link;
  std::string drive_root;
  // Whether a start may end before the tool runs: under wine one once did,
  // with status 1, no line on either stream and nothing touched.
  bool may_not_start = false;
};

// Builds the scenario's tree in a fresh temporary directory, runs the tool
// there and checks everything with gtest assertions.
void RunScenario(const Runner& runner, const Scenario& scenario);

// For a runner that cannot run here, `why` saying what is missing: the test
// is skipped, or fails under CI (CI=true), which must run every runner.
// The caller returns at once.
void RunnerMissing(const char* why);

// For parameterized tests: the names of the scenarios a runner takes.
std::vector<Scenario> ScenariosFor(unsigned runner);
std::string ScenarioName(const Scenario& scenario);
// Names a scenario in test output, instead of dumping its bytes.
void PrintTo(const Scenario& scenario, std::ostream* os);

// What the scenarios are built from, shared with the stress tests.

// A fresh directory holding "work", where the tool runs, and "outside", beside
// it; returns its real path. RemoveBase removes it whatever its modes.
std::string MakeBase();
void RemoveBase(const std::string& base);

// Creates one entry of a tree in the scenario's notation below `base`.
void Build(const std::string& base, const std::string& entry);

// A chain of `levels` directories named `name`, each inside the one before,
// below the existing directory `top`, made relative to each other so that no
// path length limits it. `fill(fd, level)` may add entries to each level
// (1 is the first below `top`) through its open descriptor.
void BuildChain(const std::string& top, int levels, const std::string& name,
                const std::function<void(int fd, int level)>& fill);

// Everything left in work and outside, sorted, in the scenario's notation;
// locked directories are unlocked to be listed, unless `as_it_is`.
std::vector<std::string> Remaining(const std::string& base, bool as_it_is = false);

std::string ReadAll(const std::string& path);

// One start of the tool.
struct Launch {
  std::vector<std::string> command;
  std::vector<std::string> environment;  // added to the current one
  std::string cwd;
  std::string output;  // the file for standard output; "" leaves it closed
  int output_fd = -1;  // instead of `output`: this descriptor
  std::string errors;  // the file for standard error; "" keeps the caller's
  rlim_t open_files = 0;  // when set, the soft limit on open files...
  rlim_t open_files_hard = 0;  // ...and the hard one (the soft one when 0)
  rlim_t stack = 0;  // when set, the limit on the size of the main stack
  rlim_t address_space = 0;  // when set, the limit on the address space
};

// Starts the tool as `launch` says; Wait returns its wait status and, when
// `usage` is given, its resource usage (ru_maxrss is its peak memory).
pid_t Start(const Launch& launch);
int Wait(pid_t pid, struct rusage* usage = nullptr);

// Every loop of the tests ends by a count or on an event; this limit, far
// beyond what the slowest machine needs, only stops one that never would.
struct HangGuard {
  time_t end = time(nullptr) + 240;
  bool Tripped(const char* what) const;
};

// A second process that runs `step(i)` for i = 0, 1, 2... as fast as it can,
// from the directory `cwd`, until stopped. Done() counts the steps that
// returned true.
class Racer {
 public:
  Racer(const std::string& cwd, const std::function<bool(long)>& step);
  ~Racer();
  long Done() const;
  void Pause();
  void Resume();
  void Stop();

 private:
  struct Shared;
  Shared* shared_;
  pid_t pid_;
};

// A second process keeps swapping an entry of the tree, a directory or a
// matching file, with a symbolic link to outside (rename(2) with
// RENAME_EXCHANGE, as fast as it can) while the runner's tool sweeps the
// tree, until `sweeps` sweeps ran while the racer swapped and enough of them
// met the swapped state. Nothing outside may ever go.
void LinkRace(const Runner& runner, bool directories, int sweeps);

// Sends `signals`, one after the other, in the middle of a 40,000-file
// sweep: once files are gone and while the tool is still at work (its
// output held up in a pipe). Its output must name exactly the files that
// are gone, with their total. Returns its wait status.
int InterruptSweep(const Runner& runner, const std::vector<int>& signals);

// The lines of a file of output, without their line ends (`line_end`).
std::vector<std::string> LinesOf(const std::string& path, const char* line_end = "\n");
// The count on the total line ("removed N files" and an empty line), or -1.
long TotalOf(const std::vector<std::string>& lines);
size_t CountStarting(const std::vector<std::string>& lines, const char* head);
void MakeFile(int dir_fd, const std::string& name);

#endif  // ZAPEXT_TESTS_E2E_H_
