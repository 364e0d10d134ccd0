#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>

namespace plumo::testing {

// The tests that watch a real program's system calls, or make one fail, run it under strace.
inline constexpr const char* strace = "/usr/bin/strace";

inline bool straceIsInstalled() { return ::access(strace, X_OK) == 0; }

// LeakSanitizer stops the world with ptrace, which the tracer already holds: a
// traced program keeps every other sanitizer check, but not the leak check.
inline std::map<std::string, std::string> traceable(std::map<std::string, std::string> environment) {
  const char* options = std::getenv("ASAN_OPTIONS");
  environment["ASAN_OPTIONS"] = std::string(options != nullptr ? options : "") + ":detect_leaks=0";
  return environment;
}

}  // namespace plumo::testing
