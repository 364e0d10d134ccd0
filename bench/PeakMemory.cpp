// bench_peak_memory FILE COMMAND...: runs COMMAND and writes its peak resident
// memory (KiB) into FILE. The command is forked from this small process, so
// that no larger parent's pages (a Python interpreter's) count in its peak.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: bench_peak_memory FILE COMMAND...\n", stderr);
    return 2;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::execvp(argv[2], argv + 2);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return 2;
  if (std::FILE* out = std::fopen(argv[1], "we")) {
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
