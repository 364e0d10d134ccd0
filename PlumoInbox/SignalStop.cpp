#include "SignalStop.h"

#include <pthread.h>

#include "ProcessStart.h"

namespace plumo {

SignalStop::SignalStop() : signals_(ProcessStart::terminationSignals()) {
  // Blocked here, the signals stay blocked in every thread started afterwards.
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  waiter_ = std::thread([this] { waitForSignals(); });
}

// The waiter is woken by a signal of its own so that it can be joined.
SignalStop::~SignalStop() {
  closing_ = true;
  pthread_kill(waiter_.native_handle(), SIGTERM);
  waiter_.join();
}

void SignalStop::waitForSignals() {
  int received = 0;
  while (sigwait(&signals_, &received) == 0 && !closing_) source_.request_stop();
}

}  // namespace plumo
