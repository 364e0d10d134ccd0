#pragma once

namespace plumo {

// The exit statuses our programs share, as shells and scripts read them.
struct ExitStatus {
  static constexpr int success = 0;
  static constexpr int failure = 1;
  static constexpr int usageError = 2;
  // plumo-share's own: the share was saved, but no application opened it.
  static constexpr int savedNotOpened = 3;
  // 128 + SIGINT: what a shell reports for a program that SIGINT ended.
  static constexpr int interrupted = 130;
};

}  // namespace plumo
