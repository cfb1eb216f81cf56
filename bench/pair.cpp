// Runs one command twice at once, as two processes: here, and in another
// directory with its output to a file. What the pair costs against one run
// alone is what this machine charges for two busy processors: no sweep that
// works on two of them can cost less, whatever it shares.
//
//   zapext-bench-pair DIR OUTPUT COMMAND [ARG...]
//
// Exits with the first run's status, or the second's when the first's is 0.
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pid_t Start(char** command, const char* dir, int out) {
  pid_t pid = fork();
  if (pid == 0) {
    if ((out >= 0 && dup2(out, 1) < 0) || (dir && chdir(dir) != 0)) _exit(127);
    execvp(command[0], command);
    _exit(127);
  }
  return pid;
}

int Status(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return 127;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs("usage: zapext-bench-pair DIR OUTPUT COMMAND [ARG...]\n", stderr);
    return 2;
  }
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    perror(argv[2]);
    return 2;
  }
  pid_t here = Start(argv + 3, nullptr, -1);
  pid_t there = Start(argv + 3, argv[1], out);
  int first = Status(here);
  int second = Status(there);
  return first != 0 ? first : second;
}
