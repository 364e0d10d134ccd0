#pragma once

#include <atomic>
#include <csignal>
#include <stop_token>
#include <thread>

namespace plumo {

// SIGINT and SIGTERM as a stop request. While it lives the two signals no longer
// end the process: a thread waits for them and requests the stop, which ends any
// wait on the token (the inbox lock, the watch). Create it before any other thread.
class SignalStop {
 public:
  SignalStop();
  SignalStop(const SignalStop&) = delete;
  SignalStop& operator=(const SignalStop&) = delete;
  ~SignalStop();

  std::stop_token token() const { return source_.get_token(); }

 private:
  void waitForSignals();

  sigset_t signals_{};
  std::stop_source source_;
  std::atomic<bool> closing_ = false;
  std::thread waiter_;
};

}  // namespace plumo
