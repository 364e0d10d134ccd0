#pragma once

#include <csignal>
#include <string>
#include <vector>

namespace plumo {

// What our programs do first in main, before any library opens a descriptor,
// starts a thread or changes the environment.
struct ProcessStart {
  // Descriptors 0, 1 and 2 that the caller closed are opened on /dev/null, so
  // that no descriptor opened later takes the number of a standard stream.
  static void openClosedStandardStreams();
  // A write to a closed pipe fails with EPIPE instead of ending the process.
  // An empty handler rather than SIG_IGN: exec resets a handler to the default,
  // so the programs we start get the usual SIGPIPE.
  static void failWritesToClosedPipes();
  // SIGINT and SIGTERM: a dismiss to every program of ours.
  static sigset_t terminationSignals();
  // SIGINT and SIGTERM wait, blocked, until the main loop has handlers for them
  // and calls releaseTerminationSignals(): none ends the process by itself.
  static void holdTerminationSignals();
  static void releaseTerminationSignals();
  // Takes SIGINT and SIGTERM that came while they were held; true if one did. A signal
  // released into the main loop may reach it only after work posted before it has run.
  static bool takeHeldTerminationSignals();
  // The environment as our caller gave it ("NAME=value"), before we change ours.
  static std::vector<std::string> callerEnvironment();
};

}  // namespace plumo
