// inject-fault: runs a program under ptrace and counts, across all its threads
// in the order they enter them, the file-system calls that touch a folder;
// the nth such call is killed (SIGKILL to the whole program) or fails with an
// error. strace counts each thread on its own, so its nth call of a kind can
// never strike a worker thread's early calls; this counts them all as one.
//
//   inject-fault --under DIR [--list FILE] [--call NAME] [--nth N (--kill | --error ERRNO [--after])]
//                -- PROGRAM ARGS...
//
// --list writes each counted call ("thread call path") to FILE; --call counts only
// the calls of that name; --after lets the struck call take effect before it fails
// (as a file server that dies as it answers). The call struck is reported on
// standard error as "inject-fault: struck N call path". Ends as the program did.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Where a call names what it touches: a path (relative to a folder descriptor
// or the working folder) or a descriptor, by argument index.
struct PathArgument {
  int folder = -1;  // -1: relative to the working folder
  int path = 0;
};
struct CallShape {
  const char* name;
  std::vector<PathArgument> paths;
  std::vector<int> descriptors;
};

const std::map<long, CallShape>& fileSystemCalls() {
  static const std::map<long, CallShape> calls{
      {SYS_open, {"open", {{-1, 0}}, {}}},
      {SYS_creat, {"creat", {{-1, 0}}, {}}},
      {SYS_openat, {"openat", {{0, 1}}, {}}},
      {SYS_mkdir, {"mkdir", {{-1, 0}}, {}}},
      {SYS_mkdirat, {"mkdirat", {{0, 1}}, {}}},
      {SYS_rmdir, {"rmdir", {{-1, 0}}, {}}},
      {SYS_unlink, {"unlink", {{-1, 0}}, {}}},
      {SYS_unlinkat, {"unlinkat", {{0, 1}}, {}}},
      {SYS_rename, {"rename", {{-1, 0}, {-1, 1}}, {}}},
      {SYS_renameat, {"renameat", {{0, 1}, {2, 3}}, {}}},
      {SYS_renameat2, {"renameat2", {{0, 1}, {2, 3}}, {}}},
      {SYS_link, {"link", {{-1, 0}, {-1, 1}}, {}}},
      {SYS_linkat, {"linkat", {{0, 1}, {2, 3}}, {}}},
      {SYS_newfstatat, {"newfstatat", {{0, 1}}, {}}},
      {SYS_statx, {"statx", {{0, 1}}, {}}},
      {SYS_utimensat, {"utimensat", {{0, 1}}, {}}},
      {SYS_fchmodat, {"fchmodat", {{0, 1}}, {}}},
      {SYS_read, {"read", {}, {0}}},
      {SYS_pread64, {"pread64", {}, {0}}},
      {SYS_write, {"write", {}, {0}}},
      {SYS_pwrite64, {"pwrite64", {}, {0}}},
      {SYS_fsync, {"fsync", {}, {0}}},
      {SYS_fdatasync, {"fdatasync", {}, {0}}},
      {SYS_sync_file_range, {"sync_file_range", {}, {0}}},
      {SYS_copy_file_range, {"copy_file_range", {}, {0, 2}}},
      {SYS_sendfile, {"sendfile", {}, {0, 1}}},
      {SYS_fallocate, {"fallocate", {}, {0}}},
      {SYS_ftruncate, {"ftruncate", {}, {0}}},
      {SYS_ioctl, {"ioctl", {}, {0}}},
      {SYS_flock, {"flock", {}, {0}}},
      {SYS_fcntl, {"fcntl", {}, {0}}},
      {SYS_getdents64, {"getdents64", {}, {0}}},
      {SYS_fchmod, {"fchmod", {}, {0}}},
      {SYS_close, {"close", {}, {0}}},
  };
  return calls;
}

struct Options {
  std::string under;
  std::string list;
  std::string call;
  long nth = 0;
  bool kill = false;
  int error = 0;
  bool after = false;
  std::vector<char*> program;
};

int errorNumber(const std::string& name) {
  static const std::map<std::string, int> errors{{"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EMFILE", EMFILE},
                                                 {"EXDEV", EXDEV},   {"EINVAL", EINVAL}, {"EACCES", EACCES},
                                                 {"EDQUOT", EDQUOT}, {"EPERM", EPERM},   {"ENOENT", ENOENT}};
  const auto found = errors.find(name);
  return found == errors.end() ? 0 : found->second;
}

[[noreturn]] void usage() {
  std::fputs("usage: inject-fault --under DIR [--list FILE] [--call NAME] [--nth N (--kill | --error ERRNO [--after])]"
             " -- PROGRAM ARGS...\n",
             stderr);
  std::exit(125);
}

Options parse(int argc, char** argv) {
  Options options;
  int index = 1;
  for (; index < argc && std::strcmp(argv[index], "--") != 0; ++index) {
    const std::string option = argv[index];
    const bool hasValue = index + 1 < argc;
    if (option == "--under" && hasValue) options.under = argv[++index];
    else if (option == "--list" && hasValue) options.list = argv[++index];
    else if (option == "--call" && hasValue) options.call = argv[++index];
    else if (option == "--after") options.after = true;
    else if (option == "--nth" && hasValue) options.nth = std::atol(argv[++index]);
    else if (option == "--kill") options.kill = true;
    else if (option == "--error" && hasValue) options.error = errorNumber(argv[++index]);
    else usage();
  }
  for (++index; index < argc; ++index) options.program.push_back(argv[index]);
  options.program.push_back(nullptr);
  if (options.under.empty() || options.program.size() < 2 || (options.nth > 0 && !options.kill && !options.error) ||
      (options.after && !options.error)) {
    usage();
  }
  return options;
}

std::string readLink(const std::string& link) {
  char target[4096];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
  return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

std::string readString(pid_t thread, unsigned long long address) {
  std::string text;
  char chunk[256];
  while (address != 0 && text.size() < 4096) {
    iovec local{chunk, sizeof chunk};
    iovec remote{reinterpret_cast<void*>(address + text.size()), sizeof chunk};
    const ssize_t got = ::process_vm_readv(thread, &local, 1, &remote, 1, 0);
    if (got <= 0) break;
    const auto end = std::find(chunk, chunk + got, '\0');
    text.append(chunk, end);
    if (end != chunk + got) break;
  }
  return text;
}

std::string descriptorPath(pid_t thread, long long descriptor) {
  if (descriptor == AT_FDCWD) return readLink("/proc/" + std::to_string(thread) + "/cwd");
  return readLink("/proc/" + std::to_string(thread) + "/fd/" + std::to_string(descriptor));
}

// The paths a call touches, as the kernel will resolve them (links aside).
std::vector<std::string> touchedPaths(pid_t thread, const CallShape& shape, const std::uint64_t* arguments) {
  std::vector<std::string> paths;
  for (const auto& argument : shape.paths) {
    std::string path = readString(thread, arguments[argument.path]);
    if (path.empty() && argument.folder >= 0) {  // AT_EMPTY_PATH, or utimensat on a descriptor
      paths.push_back(descriptorPath(thread, static_cast<int>(arguments[argument.folder])));
    } else if (!path.empty() && path[0] != '/') {
      const long long folder = argument.folder >= 0 ? static_cast<int>(arguments[argument.folder]) : AT_FDCWD;
      paths.push_back(descriptorPath(thread, folder) + "/" + path);
    } else {
      paths.push_back(path);
    }
  }
  for (int argument : shape.descriptors) paths.push_back(descriptorPath(thread, static_cast<int>(arguments[argument])));
  return paths;
}

bool isUnder(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

[[noreturn]] void becomeProgram(const Options& options) {
  ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
  ::raise(SIGSTOP);
  ::execvp(options.program[0], options.program.data());
  ::_exit(127);
}

[[noreturn]] void endAs(int status) {
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    ::raise(WTERMSIG(status));
  }
  std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
}

class Tracer {
 public:
  Tracer(Options options, pid_t program) : options_(std::move(options)), program_(program) {
    if (!options_.list.empty()) list_.open(options_.list);
  }

  [[noreturn]] void run() {
    int status = 0;
    ::waitpid(program_, &status, 0);  // the SIGSTOP before exec
    ::ptrace(PTRACE_SETOPTIONS, program_, nullptr,
             PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                 PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    known_.insert(program_);
    ::ptrace(PTRACE_SYSCALL, program_, nullptr, nullptr);
    int programStatus = 0;
    for (pid_t thread; (thread = ::waitpid(-1, &status, __WALL)) > 0;) {
      if (WIFEXITED(status) || WIFSIGNALED(status)) {
        if (thread == program_) programStatus = status;
        continue;
      }
      resume(thread, stopped(thread, status));
    }
    endAs(programStatus);
  }

 private:
  // Handles a stop; returns the signal to deliver when the thread goes on.
  int stopped(pid_t thread, int status) {
    const int signal = WSTOPSIG(status);
    if (signal == (SIGTRAP | 0x80)) {
      onSystemCall(thread);
      return 0;
    }
    if (status >> 16 != 0) return 0;  // clone, fork or exec event
    if (signal == SIGSTOP && known_.insert(thread).second) return 0;  // a new thread's first stop
    return signal;
  }

  void resume(pid_t thread, int signal) { ::ptrace(PTRACE_SYSCALL, thread, nullptr, signal); }

  void onSystemCall(pid_t thread) {
    __ptrace_syscall_info info{};
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, thread, sizeof info, &info) <= 0) return;
    if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
      if (failing_.erase(thread)) {
        ::ptrace(PTRACE_POKEUSER, thread, offsetof(user_regs_struct, rax), -static_cast<long>(options_.error));
      }
      return;
    }
    if (info.op != PTRACE_SYSCALL_INFO_ENTRY) return;
    const auto shape = fileSystemCalls().find(static_cast<long>(info.entry.nr));
    if (shape == fileSystemCalls().end()) return;
    if (!options_.call.empty() && options_.call != shape->second.name) return;
    const auto paths = touchedPaths(thread, shape->second, info.entry.args);
    if (std::none_of(paths.begin(), paths.end(), [this](const auto& path) { return isUnder(path, options_.under); })) {
      return;
    }
    ++counted_;
    if (list_.is_open()) list_ << thread << ' ' << shape->second.name << ' ' << paths.front() << '\n' << std::flush;
    if (counted_ != options_.nth) return;
    std::fprintf(stderr, "inject-fault: struck %ld %s %s\n", counted_, shape->second.name, paths.front().c_str());
    if (options_.kill) {
      ::kill(program_, SIGKILL);
    } else {
      // An invalid call number makes the kernel skip the call; its result is set at the exit stop.
      if (!options_.after) ::ptrace(PTRACE_POKEUSER, thread, offsetof(user_regs_struct, orig_rax), -1L);
      failing_.insert(thread);
    }
  }

  Options options_;
  pid_t program_;
  std::ofstream list_;
  std::set<pid_t> known_;
  std::set<pid_t> failing_;
  long counted_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  const pid_t program = ::fork();
  if (program < 0) return 125;
  if (program == 0) becomeProgram(options);
  Tracer(std::move(options), program).run();
}
