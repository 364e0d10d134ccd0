#pragma once

#include <functional>
#include <thread>

#include "ItemProvider.h"

namespace plumo {

// A provider that answers each load on a thread of its own, as a sharing
// application's providers do. The threads are detached: a load that blocks
// (standard input that never ends) cannot keep the process from exiting.
class ThreadedItemProvider : public ItemProvider {
 protected:
  static void answerOnOwnThread(std::function<void()> answer) { std::thread(std::move(answer)).detach(); }
};

}  // namespace plumo
