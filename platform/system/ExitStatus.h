#pragma once

namespace plumo {

// The exit statuses our programs share, as shells and scripts read them.
struct ExitStatus {
  static constexpr int success = 0;
  static constexpr int failure = 1;
  static constexpr int usageError = 2;
  // 128 + SIGINT: what a shell reports for a program that SIGINT ended.
  static constexpr int interrupted = 130;
};

}  // namespace plumo
