#include "ProcessStart.h"

#include <csignal>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

extern char** environ;

namespace plumo {

sigset_t ProcessStart::terminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

void ProcessStart::openClosedStandardStreams() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (::fcntl(descriptor, F_GETFD) != -1) continue;
    // The lowest free number: the closed one.
    ::open("/dev/null", O_RDWR);  // a standard stream: children get it too
  }
}

void ProcessStart::failWritesToClosedPipes() {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

void ProcessStart::holdTerminationSignals() {
  const sigset_t signals = terminationSignals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int ProcessStart::terminationSignalFile() {
  const sigset_t signals = terminationSignals();
  return ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool ProcessStart::takeHeldTerminationSignals() {
  const sigset_t signals = terminationSignals();
  const timespec now{};
  bool taken = false;
  while (::sigtimedwait(&signals, nullptr, &now) > 0) taken = true;
  return taken;
}

std::vector<std::string> ProcessStart::callerEnvironment() {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) variables.emplace_back(*variable);
  return variables;
}

}  // namespace plumo
