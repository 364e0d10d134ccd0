#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace plumo::testing {

// Waits, with a generous bound, for something another process does; false when it never came.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace plumo::testing
