// End-to-end scenarios: a real tree on disk, the built binary run in it, and
// the exact output, exit status and remaining tree checked. One table of
// scenarios serves every way of running the tool (native, or the Windows
// build under wine).
#ifndef ZAPEXT_TESTS_E2E_H_
#define ZAPEXT_TESTS_E2E_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
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
  // A path that starts with "^/" lies outside the working directory, beside it.
  std::vector<std::string> tree;
  std::vector<std::string> args;
  // The expected lines before the total, in any order within a directory
  // (a directory's lines stand together, at its place). "@" stands for the
  // working directory's text and "/" in paths for the separator.
  std::vector<std::string> lines;
  int total;  // the count on the total line; -1 when there is no total line
  int status;
  // Everything left afterwards, inside and outside, in the tree's notation
  // (directories end in "/", read-only and link markers are not repeated).
  std::vector<std::string> left;
  // When set, the whole output must be exactly this ("\n" read as the
  // platform's line end), instead of lines and total.
  const char* exact = nullptr;
  // Runs the tool as an unprivileged user, for failures root would not meet.
  bool unprivileged = false;
  // Adds a chain of this many directories under "deep/", each holding "x.bak"
  // and "keep.txt", long enough to pass any path-length limit.
  int deep_levels = 0;
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
  // The environment for the command (added to the current one).
  std::vector<std::string> environment;
};

// Builds the scenario's tree in a fresh temporary directory, runs the tool
// there and checks everything with gtest assertions.
void RunScenario(const Runner& runner, const Scenario& scenario);

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

// Everything left in work and outside, sorted, in the scenario's notation.
std::vector<std::string> Remaining(const std::string& base);

std::string ReadAll(const std::string& path);

// One start of the tool.
struct Launch {
  std::vector<std::string> command;
  std::vector<std::string> environment;  // added to the current one
  std::string cwd;
  std::string output;  // the file for standard output; "" leaves it closed
  int output_fd = -1;  // instead of `output`: this descriptor
  rlim_t open_files = 0;  // when set, the soft limit on open files...
  rlim_t open_files_hard = 0;  // ...and the hard one (the soft one when 0)
  rlim_t stack = 0;  // when set, the limit on the size of the main stack
};

// Starts the tool as `launch` says; Wait returns its wait status and, when
// `usage` is given, its resource usage (ru_maxrss is its peak memory).
pid_t Start(const Launch& launch);
int Wait(pid_t pid, struct rusage* usage = nullptr);

#endif  // ZAPEXT_TESTS_E2E_H_
