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
  // The one signal policy of our programs: SIGINT and SIGTERM stay blocked in every
  // thread, from the program's first code on (every thread inherits the mask), so
  // that none ever ends the process by itself; they are received only by reading a
  // signalfd (terminationSignalFile()) where the program waits for them.
  static void holdTerminationSignals();
  // A signalfd for SIGINT and SIGTERM (non-blocking, close-on-exec); -1 on failure.
  static int terminationSignalFile();
  // Takes SIGINT and SIGTERM that came while nobody read them; true if one did.
  static bool takeHeldTerminationSignals();
  // The environment as our caller gave it ("NAME=value"), before we change ours.
  static std::vector<std::string> callerEnvironment();
};

}  // namespace plumo
