// Runs one command and prints what it cost: "WALL USER SYS MAXRSS STATUS"
// (seconds, seconds, seconds, KiB, exit status).
//
//   zapext-bench-measure OUTPUT DIR COMMAND [ARG...]
//
// The command runs in DIR with its standard output sent to the file OUTPUT.
// The peak RSS the kernel reports for a child includes this program's own,
// from before the child's exec; this program is linked statically so that
// floor stays far below anything measured.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double Seconds(const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs("usage: zapext-bench-measure OUTPUT DIR COMMAND [ARG...]\n", stderr);
    return 2;
  }
  // Opened here, not in the child: the file exists already, and truncating
  // it is no part of the run.
  int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    perror(argv[1]);
    return 2;
  }
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    if (dup2(out, 1) < 0 || chdir(argv[2]) != 0) _exit(127);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    perror("run");
    return 2;
  }
  double wall = Now() - start;
  printf("%.6f %.6f %.6f %ld %d\n", wall, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
         usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
