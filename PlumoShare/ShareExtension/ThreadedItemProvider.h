#pragma once

#include <functional>
#include <thread>

#include "ItemProvider.h"
#include "UTType.h"
#include "Utf8.h"

namespace plumo {

// A provider that answers each load it implements on a thread of its own, as a
// sharing application's providers do. The threads are detached: a load that blocks
// (standard input that never ends) cannot keep the process from exiting.
class ThreadedItemProvider : public ItemProvider {
 protected:
  static void answerOnOwnThread(std::function<void()> answer) { std::thread(std::move(answer)).detach(); }

  // Bytes offered under `type` as an item: a string for a text type when they are valid UTF-8, the data otherwise.
  static Item itemOf(const std::string& type, const Data& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (UTType::identifierConformsTo(type, UTType::text) && Utf8::isValid(text)) return text;
    return bytes;
  }
};

}  // namespace plumo
