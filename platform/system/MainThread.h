#pragma once

#include <functional>

namespace plumo {

// The main thread is the one that runs GLib's default main context.
struct MainThread {
  // Runs `work` on the main thread on a later turn of its loop; callable from any thread.
  static void post(std::function<void()> work);
};

}  // namespace plumo
