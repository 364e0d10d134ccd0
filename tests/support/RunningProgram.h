#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Files.h"
#include "TemporaryDirectory.h"

namespace plumo::testing {

struct ProgramResult {
  int exitStatus = -1;  // 128 + the signal for a program a signal ended
  int endingSignal = 0;  // the signal that ended the program, 0 when it exited
  std::string standardOutput;
  std::string standardError;
};

// A real program started with its own environment changes and standard
// input, its output captured in files (no pipe can fill up and block it).
// `beforeExec` runs in the child last, to change what the program inherits.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment = {},
                 const std::string& standardInput = "", const std::function<void()>& beforeExec = {}) {
    writeFile(files_ / "in", standardInput);
    pid_ = ::fork();
    if (pid_ == 0) becomeProgram(arguments, environment, beforeExec);
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  ~RunningProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  void signal(int number) const { ::kill(pid_, number); }
  std::string standardOutputSoFar() const { return readFile(files_ / "out"); }
  std::string standardErrorSoFar() const { return readFile(files_ / "err"); }
  // True once the program has ended; wait() still collects its status.
  bool ended() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
  }

  ProgramResult wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    ProgramResult result;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.endingSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.standardOutput = readFile(files_ / "out");
    result.standardError = readFile(files_ / "err");
    return result;
  }

 private:
  [[noreturn]] void becomeProgram(const std::vector<std::string>& arguments,
                                  const std::map<std::string, std::string>& environment,
                                  const std::function<void()>& beforeExec) {
    redirect(files_ / "in", O_RDONLY, STDIN_FILENO);
    redirect(files_ / "out", O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
    redirect(files_ / "err", O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    if (beforeExec) beforeExec();
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  static void redirect(const std::filesystem::path& file, int flags, int target) {
    const int descriptor = ::open(file.c_str(), flags, 0600);
    ::dup2(descriptor, target);
    ::close(descriptor);
  }

  TemporaryDirectory files_;
  pid_t pid_ = -1;
};

inline ProgramResult runProgram(const std::vector<std::string>& arguments,
                                const std::map<std::string, std::string>& environment = {},
                                const std::string& standardInput = "", const std::function<void()>& beforeExec = {}) {
  return RunningProgram(arguments, environment, standardInput, beforeExec).wait();
}

}  // namespace plumo::testing
