#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace plumo::testing {

// Whether `condition` becomes true within `limit`: for what another process does. The
// limit only ends a wait that would never end: generous, as a package builder's
// machine may run the suite under a load of many times its cores.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace plumo::testing
